// The receive parser against a model of its own. The model below is written from the frame
// rules alone (magic, header XOR, length, payload XOR, the byte that breaks the magic being
// dropped), one byte at a time; random streams of noise, frames whole, broken and cut, length-0
// headers, announcements and idle events go to the link one byte per data event and in random
// pieces, and to the discovery datagram parser in random datagrams. Both must deliver the same
// frames to the capture, call the same handlers in the same order, identify the device at the
// same frame, answer idle events alike and leave the same discovery list.
#include <cstring>
#include <random>

#include "link_support.h"

namespace link_test {
namespace {

constexpr int MAX_PROBES = 6;  // probes sent from idle events before the link gives up

unsigned char xor_of(const unsigned char* p, size_t n) {
    unsigned char x = 0;
    for (size_t i = 0; i < n; ++i) x ^= p[i];
    return x;
}
std::string hash_of(const unsigned char* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return std::to_string(n) + "/" + std::to_string(h);
}
int code_of(const unsigned char* f) {
    return f[4] | f[5] << 8;
}
size_t frame_size(const unsigned char* f) {
    return QXX_HEADER_SIZE + static_cast<size_t>(f[6] | f[7] << 8);
}

// What a handler, probe or callback sees, as one journal line. The handlers note how many
// frames the capture had been offered when they ran: a frame reaches its handler first.
std::string seen(char who, const unsigned char* f, size_t fills) {
    return std::string(1, who) + " " + std::to_string(code_of(f)) + " " +
           hash_of(f, frame_size(f)) + " fills " + std::to_string(fills);
}
template <char WHO>
int handler(int, void*, const unsigned char* f, int) {
    return note(seen(WHO, f, fake_comm::st().fills.size())), 0;
}
QXX_event_handler handler_of(char name) {
    return name == 'x' ? handler<'x'> : name == 'y' ? handler<'y'> : handler<'d'>;
}

// ---- the stream --------------------------------------------------------------------------

struct Step {
    bool idle = false;
    Bytes bytes;
};
struct Stream {
    std::vector<Step> steps;
    bool procedures = true;  // the link was opened with probe, test probe and callbacks
    int probe_result = 0;
    std::vector<std::pair<int, char>> hooks;  // registered before the stream; 65535 = default
};

const int CODES[] = {9007, 9203, 10002, 12289, 65535, 1, 8600};

class Generator {
  public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    Stream next() {
        Stream s;
        s.procedures = pick(0, 4) != 0;
        s.probe_result = pick(0, 9) == 0 ? 1 : 0;
        for (int i = pick(0, 4); i > 0; --i) s.hooks.emplace_back(code(), "xyd"[pick(0, 2)]);
        if (pick(0, 9) < 3) {  // many announcers: more than the list holds, some twice
            for (int i = pick(20, 45); i > 0; --i) s.steps.push_back({false, announcement()});
        }
        for (int i = pick(1, 14); i > 0; --i) s.steps.push_back(segment());
        if (pick(0, 4) == 0) {  // a silence long enough for the link to give up probing
            const auto at = s.steps.begin() + pick(0, static_cast<int>(s.steps.size()));
            s.steps.insert(at, static_cast<size_t>(pick(4, 8)), Step{true, {}});
        }
        return s;
    }
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  private:
    int code() { return CODES[pick(0, 6)]; }
    Bytes random_bytes(int n) {
        Bytes b(static_cast<size_t>(n));
        for (auto& c : b) c = static_cast<unsigned char>(pick(0, 255));
        return b;
    }
    // Noise that looks like the start of a frame more often than not.
    Bytes garbage() {
        Bytes b;
        for (int i = pick(1, 12); i > 0; --i) {
            const int r = pick(0, 9);
            b.push_back(r < 5 ? "ZORV"[pick(0, 3)] : r < 6 ? 'Z' : pick(0, 255));
        }
        if (pick(0, 3) == 0) b = text(pick(0, 1) ? "ZZORV" : "ZOR") + b;
        return b;
    }
    Bytes good(int c) {
        if (c == 8600) return announcement();
        Bytes payload = random_bytes(pick(0, 24));
        if (c == 9007 && !payload.empty() && pick(0, 2) == 0) payload[0] = 'C';
        return frame(c, payload, pick(0, 65535), pick(0, 3) == 0 ? pick(0, 255) : 0);
    }
    // Idents from a pool of 40, some of full width, some with a NUL inside; fields of random
    // length, so that some announcements are short of 66 bytes or longer.
    Bytes announcement() {
        Bytes p(66, 0);
        const int who = pick(0, 39);
        const std::string ident =
            (who % 3 == 0 ? "instrum-" : "nv52-") + std::to_string(100 + who).substr(1);
        std::memcpy(p.data(), ident.data(), ident.size());
        if (who % 5 == 0) p[3] = 0;
        const Bytes address = text("10.0." + std::to_string(pick(0, 300)) + ".1234567890");
        std::copy(address.begin(), address.begin() + pick(0, 16), p.begin() + 10);
        for (int i = 26, n = pick(0, 40); i < 26 + n; ++i)
            p[i] = static_cast<unsigned char>(pick(1, 255));
        const int size = pick(0, 3) == 0 ? pick(0, 70) : 66;
        p.resize(static_cast<size_t>(size), 0x41);
        return frame(8600, p);
    }
    void set_length(Bytes& f, int length) {
        put_u16le(f.data() + QXX_OFF_LENGTH, static_cast<uint16_t>(length));
        f[QXX_OFF_HDR_XOR] = 0;
        f[QXX_OFF_HDR_XOR] = xor_of(f.data(), QXX_OFF_HDR_XOR);
    }
    Step segment() {
        Bytes f = good(code());
        const int length = qxx_frame_length(f.data());
        switch (pick(0, 11)) {
            case 0:
            case 1:
                return {false, garbage()};
            case 2:
            case 3:
                return {false, f};
            case 4:  // a bad header checksum, or a broken magic
                f[static_cast<size_t>(pick(0, 11))] ^= static_cast<unsigned char>(1 << pick(0, 7));
                return {false, f};
            case 5:  // a bad payload checksum
                f[static_cast<size_t>(pick(12, static_cast<int>(f.size()) - 1))] ^=
                    static_cast<unsigned char>(1 << pick(0, 7));
                return {false, f};
            case 6:  // the length claims more than follows: the next bytes are taken as body
                set_length(f, pick(0, 5) == 0 ? 65535 : length + pick(1, 30));
                return {false, f};
            case 7:  // the length claims less: the frame ends early, its rest is noise
                set_length(f, pick(0, length));
                return {false, f};
            case 8:  // a header of length 0 and nothing after it
                f.resize(QXX_HEADER_SIZE);
                set_length(f, 0);
                return {false, f};
            case 9:  // cut short
                f.resize(static_cast<size_t>(pick(1, static_cast<int>(f.size()) - 1)));
                return {false, f};
            case 10: {  // the identification reply
                Bytes payload = text("C") + random_bytes(pick(0, 8));
                return {false, frame(9007, payload)};
            }
            default:
                return {true, {}};
        }
    }
    std::mt19937 rng_;
};

// ---- the model ---------------------------------------------------------------------------

struct Outcome {
    std::vector<std::string> journal;
    std::vector<std::pair<int, Bytes>> fills;
    std::vector<int> idle_results;
    int signals = 0;
    bool identified = false;
    QXX_message_list list{};
};

class Model {
  public:
    Model(const Stream& s, int handle, int user, Outcome* out)
        : s_(s), handle_(handle), user_(user), out_(out) {
        for (const auto& [c, h] : s.hooks) hook(c, h);
    }

    void byte(unsigned char b) {
        if (cur_.size() < 4) {
            if (b == "ZORV"[cur_.size()]) {
                cur_.push_back(b);
            } else {
                cur_.clear();  // dropped, and not looked at again as the start of a magic
            }
            return;
        }
        cur_.push_back(b);
        if (cur_.size() == QXX_HEADER_SIZE) {
            if (xor_of(cur_.data(), cur_.size()) != 0) {
                cur_.clear();
                return;
            }
            need_ = frame_size(cur_.data());
        }
        if (cur_.size() < QXX_HEADER_SIZE || cur_.size() < need_) return;
        Bytes f;
        f.swap(cur_);
        if (xor_of(f.data() + QXX_HEADER_SIZE, f.size() - QXX_HEADER_SIZE) == 0) complete(f);
    }

    void idle() {
        int result = 0;
        if (identified_) {
            cur_.clear();
        } else if (tries_ < MAX_PROBES) {
            if (s_.procedures) {
                out_->journal.push_back("probe " + std::to_string(tries_));
                if (s_.probe_result != 0) result = -1;
            }
            if (result == 0) tries_++;
        } else {
            out_->signals++;
            result = -1;
        }
        out_->idle_results.push_back(result);
    }

    bool identified() const { return identified_; }

  private:
    void hook(int c, char h) {
        if (c == 65535) {
            default_ = h;
            return;
        }
        for (const auto& e : hooks_)
            if (e.first == c && e.second == h) return;
        hooks_.emplace_back(c, h);
    }
    void announce(const Bytes& f) {
        const size_t length = frame_size(f.data()) - QXX_HEADER_SIZE;
        Bytes p(f.begin() + QXX_HEADER_SIZE,
                f.begin() + QXX_HEADER_SIZE + static_cast<long>(length > 0 ? length - 1 : 0));
        p.resize(QXX_ANNOUNCE_SIZE, 0);
        QXX_net_device row{};
        const auto field = [&](char* dst, size_t at, size_t width) {
            for (size_t i = 0; i < width && p[at + i] != 0; ++i)
                dst[i] = static_cast<char>(p[at + i]);
        };
        field(row.ident, 0, 10);
        field(row.address, 10, 16);
        field(row.name, 26, 40);
        QXX_message_list& list = out_->list;
        for (int i = 0; i < list.count; ++i)
            if (std::memcmp(list.rows[i].ident, row.ident, 10) == 0) return;
        if (list.count < QXX_NET_DEVICES) list.rows[list.count++] = row;
    }
    void complete(const Bytes& f) {
        const int c = code_of(f.data());
        if (c == 8600) return announce(f);
        auto& journal = out_->journal;
        if (!identified_ && s_.procedures) {
            journal.push_back("test_probe " + std::to_string(c) + " " + std::to_string(tries_));
            if (c == 9007 && f.size() > 13 && f[QXX_OFF_PAYLOAD] == 'C') {
                identified_ = true;
                journal.push_back("connected 12 user " + std::to_string(user_));
                hook(9007, 'a');
                out_->signals++;
            }
        }
        char called = 0;
        for (const auto& e : hooks_)
            if (e.first == c && !called) called = e.second;
        if (!called) called = default_;
        if (called == 'a')
            journal.push_back("a " + std::to_string(c) + " user " + std::to_string(user_));
        else if (called)
            journal.push_back(seen(called, f.data(), out_->fills.size()));
        out_->fills.emplace_back(handle_, f);
    }

    const Stream& s_;
    int handle_, user_;
    Outcome* out_;
    Bytes cur_;
    size_t need_ = 0;
    bool identified_ = false;
    int tries_ = 0;
    std::vector<std::pair<int, char>> hooks_;
    char default_ = 0;
};

// ---- running both ------------------------------------------------------------------------

// The stream through the model, byte by byte; as datagrams, each piece parsed on its own.
Outcome model_link(const Stream& s, int handle, int user) {
    Outcome out;
    Model m(s, handle, user, &out);
    for (const Step& step : s.steps) {
        if (step.idle) m.idle();
        for (unsigned char b : step.bytes) m.byte(b);
    }
    out.identified = m.identified();
    return out;
}
Outcome model_datagrams(const std::vector<Bytes>& datagrams) {
    Outcome out;
    const Stream none{{}, false, 0, {}};
    for (const Bytes& d : datagrams) {
        Model m(none, 0, 0, &out);
        for (unsigned char b : d) m.byte(b);
    }
    return out;
}

Outcome collect(int handle, std::vector<int> idle_results) {
    Outcome out;
    out.journal = journal;
    out.fills = fake_comm::st().fills;
    out.idle_results = std::move(idle_results);
    out.signals = fake_comm::st().signals[handle];
    std::memset(&out.list, 0xEE, sizeof out.list);  // rows past the count must come back empty
    if (const auto* ctx = static_cast<QXX_conn_ctx*>(fake_comm::context_of(handle)))
        out.identified = ctx->identified != 0;
    QXX_broadcast_list(&out.list);
    return out;
}

// `all` cut into pieces of 1 to `most` bytes.
std::vector<Bytes> pieces(const Bytes& all, int most, Generator& g) {
    std::vector<Bytes> out;
    for (size_t at = 0, n; at < all.size(); at += n) {
        n = std::min(all.size() - at, size_t(most == 1 ? 1 : g.pick(1, most)));
        out.emplace_back(all.begin() + static_cast<long>(at),
                         all.begin() + static_cast<long>(at + n));
    }
    return out;
}

// The stream through the link: each run of bytes between idle events in pieces of 1 byte
// (`piece` 1) or of random sizes (`piece` 0).
Outcome real_link(const Stream& s, int user, int piece, Generator& g) {
    fake_comm::reset();
    journal.clear();
    QXX_net_broadcast_reset_list();
    probe_result = s.probe_result;
    const int h = LinkTest::open(s.procedures, user);
    for (const auto& [c, name] : s.hooks) QXX_hook_async_event(h, c, handler_of(name));
    std::vector<int> idle_results;
    Bytes run;
    const auto flush = [&] {
        for (const Bytes& p : pieces(run, piece ? 1 : 40, g)) fake_comm::deliver(h, p);
        run.clear();
    };
    for (const Step& step : s.steps) {
        if (step.idle) {
            flush();
            idle_results.push_back(fake_comm::raise(h, COMM_EVENT_IDLE));
        }
        run.insert(run.end(), step.bytes.begin(), step.bytes.end());
    }
    flush();
    Outcome out = collect(h, std::move(idle_results));
    fake_comm::close(h);
    return out;
}
Outcome real_datagrams(const std::vector<Bytes>& datagrams) {
    fake_comm::reset();
    journal.clear();
    QXX_net_broadcast_reset_list();
    for (const Bytes& d : datagrams) QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    return collect(0, {});
}

// The two outcomes agree, or the difference is reported with the stream's number.
bool same(const Outcome& want, const Outcome& got, int stream, const char* how) {
    const bool ok = want.journal == got.journal && want.fills == got.fills &&
                    want.idle_results == got.idle_results && want.signals == got.signals &&
                    want.identified == got.identified &&
                    std::memcmp(&want.list, &got.list, sizeof want.list) == 0;
    EXPECT_TRUE(ok) << how << ": journal " << testing::PrintToString(got.journal) << " for "
                    << testing::PrintToString(want.journal) << ", " << got.fills.size() << " for "
                    << want.fills.size() << " frames, stream " << stream;
    return ok;
}

using ParserModel = LinkTest;

TEST_F(ParserModel, RandomStreamsAgreeWithTheModel) {
    Generator g(20261207);
    // Tallies of what the streams exercised, so that a generator gone lame is noticed.
    int frames = 0, identified = 0, full_lists = 0, announcements = 0, given_up = 0;
    for (int i = 0; i < 5000; ++i) {
        const Stream s = g.next();
        const int user = i % 97;
        const Outcome want = model_link(s, 1, user);
        if (!same(want, real_link(s, user, 1, g), i, "byte by byte")) return;
        if (!same(want, real_link(s, user, 0, g), i, "in pieces")) return;

        Bytes all;
        for (const Step& step : s.steps)
            all.insert(all.end(), step.bytes.begin(), step.bytes.end());
        const std::vector<Bytes> datagrams = pieces(all, 400, g);
        const Outcome want_datagrams = model_datagrams(datagrams);
        if (!same(want_datagrams, real_datagrams(datagrams), i, "as datagrams")) return;

        frames += static_cast<int>(want.fills.size());
        identified += want.identified;
        full_lists += want.list.count == QXX_NET_DEVICES;
        announcements += want.list.count > 0;
        given_up += want.signals > want.identified;
    }
    EXPECT_GT(frames, 8000);
    EXPECT_GT(identified, 1000);
    EXPECT_GT(full_lists, 100);
    EXPECT_GT(announcements, 2000);
    EXPECT_GT(given_up, 200);
}

}  // namespace
}  // namespace link_test
