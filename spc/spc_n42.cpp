// N42 (ANSI N42.42-2012) files from any writer, read in one pass of the streaming XML reader:
// of the whole document only the elements below are kept, so memory stays near the file's size.
//
//   RadInstrumentData                       root, in the N42 namespace (any prefix) or in none
//     RadInstrumentDataCreatorName, Remark
//     RadInstrumentInformation / RadInstrumentManufacturerName, RadInstrumentModelName
//     EnergyCalibration @id / CoefficientValues | EnergyBoundaryValues, EnergyDeviationValues
//     RadMeasurement @id, DerivedData @id
//       MeasurementClassCode, StartDateTime, RealTimeDuration, Remark
//       Spectrum @id @energyCalibrationReference @radDetectorInformationReference
//         LiveTimeDuration, ChannelData @compressionCode (None or CountedZeroes), Remark
//
// Elements of other namespaces (a writer's extensions) and everything else are passed over.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "safe_text.h"
#include "spc_formats.h"
#include "spc_xml.h"

namespace {

constexpr std::string_view N42_NAMESPACE = "http://physics.nist.gov/N42/2011/N42";
// A record of each spectrum, measurement and calibration is kept; this many of each is more
// than any instrument writes and bounds what a file of empty elements can cost.
constexpr size_t MAX_RECORDS = 100000;
// Short texts (names, codes, times, remarks) are kept up to this length.
constexpr size_t MAX_SHORT_TEXT = 4096;

enum class el {
    other,
    root,
    creator,
    remark,
    information,
    manufacturer,
    model,
    calibration,
    coefficients,
    boundaries,
    deviations,
    measurement,
    class_code,
    start,
    real_time,
    spectrum,
    live_time,
    channel_data
};

// Which element `name` is below `parent`; other for everything nv-spc does not read.
el element_of(el parent, std::string_view name) {
    struct rule {
        el parent;
        std::string_view name;
        el is;
    };
    static constexpr rule RULES[] = {
        {el::root, "RadInstrumentDataCreatorName", el::creator},
        {el::root, "Remark", el::remark},
        {el::root, "RadInstrumentInformation", el::information},
        {el::information, "RadInstrumentManufacturerName", el::manufacturer},
        {el::information, "RadInstrumentModelName", el::model},
        {el::root, "EnergyCalibration", el::calibration},
        {el::calibration, "CoefficientValues", el::coefficients},
        {el::calibration, "EnergyBoundaryValues", el::boundaries},
        {el::calibration, "EnergyDeviationValues", el::deviations},
        {el::root, "RadMeasurement", el::measurement},
        {el::root, "DerivedData", el::measurement},
        {el::measurement, "MeasurementClassCode", el::class_code},
        {el::measurement, "StartDateTime", el::start},
        {el::measurement, "RealTimeDuration", el::real_time},
        {el::measurement, "Remark", el::remark},
        {el::measurement, "Spectrum", el::spectrum},
        {el::spectrum, "LiveTimeDuration", el::live_time},
        {el::spectrum, "ChannelData", el::channel_data},
        {el::spectrum, "Remark", el::remark},
    };
    for (const auto& r : RULES)
        if (r.parent == parent && r.name == name) return r.is;
    return el::other;
}

struct n42_measurement {
    std::string id, class_code, start, real_time;
    bool derived = false;
    std::vector<std::string> remarks;  // nv-spc's own only
};

struct n42_spectrum {
    size_t measurement = 0;
    std::string id, calibration, detector, live_time, compression, data;
    size_t data_at = 0;  // offset of the channel data in the document
};

struct n42_calibration {
    std::string id, coefficients, boundaries;
    bool deviations = false;
    size_t at = 0;
};

std::string_view attribute(const std::vector<spc_xml_attribute>& a, std::string_view name) {
    for (const auto& x : a)
        if (x.name == name) return x.value;
    return {};
}

struct n42_reader : spc_xml_handler {
    std::string_view doc;
    std::string uri;  // the root's namespace
    std::vector<el> open;
    std::string failure;
    std::string creator, manufacturer, model;
    std::vector<std::string> remarks;  // the document's own (nv-spc's only)
    std::vector<n42_measurement> measurements;
    std::vector<n42_spectrum> spectra;
    std::vector<n42_calibration> calibrations;
    std::string* target = nullptr;  // where the open element's text goes
    size_t target_limit = 0;
    std::string remark;

    bool stop() const override { return !failure.empty(); }

    bool room(size_t n, const char* what) {
        if (n < MAX_RECORDS) return true;
        failure = "more than " + std::to_string(MAX_RECORDS) + " " + what + ": not read";
        return false;
    }

    void start(std::string_view ns, std::string_view name,
               const std::vector<spc_xml_attribute>& a) override {
        target = nullptr;
        if (open.empty()) {
            if (name == "N42InstrumentData") {
                failure =
                    "an N42 file of the 2006 edition (N42InstrumentData): nv-spc reads "
                    "the 2012 edition (RadInstrumentData)";
            } else if (name != "RadInstrumentData") {
                failure = "not an N42 file (its root element is " + spc_quote(name) + ")";
            } else if (!ns.empty() && ns != N42_NAMESPACE) {
                failure = "not an N42 file (the namespace " + spc_quote(ns, 60) + ")";
            }
            uri = ns;
            open.push_back(el::root);
            return;
        }
        el e = ns == uri ? element_of(open.back(), name) : el::other;
        open.push_back(e);
        size_t limit = MAX_SHORT_TEXT;
        switch (e) {
            case el::creator:
                target = &creator;
                break;
            case el::manufacturer:
                target = &manufacturer;
                break;
            case el::model:
                target = &model;
                break;
            case el::remark:
                target = &remark;
                break;
            case el::calibration:
                if (!room(calibrations.size(), "energy calibrations")) return;
                calibrations.push_back({std::string(attribute(a, "id")), "", "", false, 0});
                break;
            case el::coefficients:
            case el::boundaries:
                // Boundaries hold a value per channel: as long as the channel data.
                target = e == el::coefficients ? &calibrations.back().coefficients
                                               : &calibrations.back().boundaries;
                limit = SPC_MAX_FILE_BYTES;
                break;
            case el::deviations:
                calibrations.back().deviations = true;
                break;
            case el::measurement:
                if (!room(measurements.size(), "measurements")) return;
                measurements.emplace_back();
                measurements.back().id = attribute(a, "id");
                measurements.back().derived = name == "DerivedData";
                break;
            case el::class_code:
                target = &measurements.back().class_code;
                break;
            case el::start:
                target = &measurements.back().start;
                break;
            case el::real_time:
                target = &measurements.back().real_time;
                break;
            case el::spectrum: {
                if (!room(spectra.size(), "spectra")) return;
                n42_spectrum s;
                s.measurement = measurements.size() - 1;
                s.id = attribute(a, "id");
                s.calibration = attribute(a, "energyCalibrationReference");
                s.detector = attribute(a, "radDetectorInformationReference");
                spectra.push_back(std::move(s));
                break;
            }
            case el::live_time:
                target = &spectra.back().live_time;
                break;
            case el::channel_data:
                spectra.back().compression = attribute(a, "compressionCode");
                target = &spectra.back().data;
                limit = SPC_MAX_FILE_BYTES;
                break;
            default:
                break;
        }
        target_limit = limit;
        if (target) target->clear();
    }

    void text(std::string_view piece) override {
        if (!target || target->size() >= target_limit) return;
        // Where the channel data starts, for messages about them.
        if (open.back() == el::channel_data && target->empty() && piece.data() >= doc.data() &&
            piece.data() < doc.data() + doc.size())
            spectra.back().data_at = static_cast<size_t>(piece.data() - doc.data());
        target->append(piece.substr(0, target_limit - target->size()));
    }

    void end() override {
        if (open.back() == el::remark && remark.rfind("nv-spc ", 0) == 0) {
            el parent = open[open.size() - 2];
            if (parent == el::root) remarks.push_back(remark);
            if (parent == el::measurement) measurements.back().remarks.push_back(remark);
        }
        open.pop_back();
        target = nullptr;
    }
};

// The numbers of a list element; false with the first word that is not one.
bool numbers(const std::string& text, std::vector<double>* out, std::string* bad) {
    spc_words w{text};
    std::string_view word;
    while (w.next(&word)) {
        double v;
        if (!spc_number(word, &v)) {
            *bad = spc_quote(word);
            return false;
        }
        out->push_back(v);
    }
    return true;
}

// The counts of ChannelData: a count per channel, or with CountedZeroes each 0 followed by how
// many zeros it stands for.
bool channel_counts(const n42_spectrum& sp, std::string_view doc, std::vector<int32_t>* counts,
                    spc_error* err) {
    int line = spc_line_of(doc, sp.data_at);
    bool zeros = sp.compression == "CountedZeroes";
    if (!zeros && !sp.compression.empty() && sp.compression != "None")
        return spc_fail(err, line,
                        "ChannelData compressed as " + spc_quote(sp.compression) +
                            ": nv-spc reads None and CountedZeroes");
    spc_words w{sp.data};
    std::string_view word;
    auto too_many = [&] {
        return spc_fail(err, line, "more than " + std::to_string(SPC_MAX_CHANNELS) + " channels");
    };
    while (w.next(&word)) {
        int32_t c;
        if (!spc_whole_count(word, &c))
            return spc_fail(err, line, spc_quote(word) + " is not a channel count");
        if (zeros && c == 0) {
            int32_t n;
            if (!w.next(&word) || !spc_whole_count(word, &n) || n == 0)
                return spc_fail(err, line, "CountedZeroes: a 0 not followed by how many");
            if (counts->size() + n > static_cast<size_t>(SPC_MAX_CHANNELS)) return too_many();
            counts->resize(counts->size() + n, 0);
            continue;
        }
        if (counts->size() == static_cast<size_t>(SPC_MAX_CHANNELS)) return too_many();
        counts->push_back(c);
    }
    if (counts->empty()) return spc_fail(err, line, "the spectrum has no channels");
    return true;
}

// "'ID' in measurement 'ID', 'CLASS', detector 'ID'" and with `sizes` the channels and live time.
std::string describe(const n42_reader& r, size_t k, bool sizes) {
    const n42_spectrum& s = r.spectra[k];
    const n42_measurement& m = r.measurements[s.measurement];
    std::string d = (s.id.empty() ? std::string("(no id)") : spc_quote(s.id)) + " in " +
                    (m.derived ? "derived data " : "measurement ") +
                    (m.id.empty() ? std::string("(no id)") : spc_quote(m.id));
    if (!m.class_code.empty()) d += ", " + spc_quote(m.class_code);
    if (!s.detector.empty()) d += ", detector " + spc_quote(s.detector);
    if (!sizes) return d;
    spc_words w{s.data};
    std::string_view word;
    size_t words = 0;
    while (w.next(&word)) ++words;
    d += ", " + std::to_string(words) +
         (s.compression == "CountedZeroes" ? " values"
          : words == 1                     ? " channel"
                                           : " channels");
    double live;
    if (spc_duration(s.live_time, &live)) d += ", live " + spc_seconds(live) + " s";
    return d;
}

// Which spectrum `choice` names; -1 with `err` (listing them all) when none or several could be
// meant.
int chosen(const n42_reader& r, const std::string& choice, spc_error* err) {
    size_t n = r.spectra.size();
    if (choice.empty() && n == 1) return 0;
    if (!choice.empty() && choice.find_first_not_of("0123456789") == std::string::npos &&
        choice.size() < 7) {
        size_t k = std::stoul(choice);
        if (k >= 1 && k <= n) return static_cast<int>(k - 1);
    }
    if (!choice.empty()) {
        auto by_id = [&](const n42_spectrum& s) { return s.id == choice; };
        auto by_measurement = [&](const n42_spectrum& s) {
            return r.measurements[s.measurement].id == choice;
        };
        auto at = std::find_if(r.spectra.begin(), r.spectra.end(), by_id);
        if (at == r.spectra.end() &&
            std::count_if(r.spectra.begin(), r.spectra.end(), by_measurement) == 1)
            at = std::find_if(r.spectra.begin(), r.spectra.end(), by_measurement);
        if (at != r.spectra.end()) return static_cast<int>(at - r.spectra.begin());
    }
    std::string what =
        choice.empty()
            ? std::to_string(n) + " spectra: choose one with --spectrum N or ID"
            : "no spectrum " + spc_quote(choice) + " among its " + std::to_string(n) + ":";
    constexpr size_t LISTED = 20;
    for (size_t k = 0; k < n && k < LISTED; ++k)
        what += "\n  " + std::to_string(k + 1) + ": " + describe(r, k, true);
    if (n > LISTED) what += "\n  ... and " + std::to_string(n - LISTED) + " more";
    spc_fail(err, 0, what);
    return -1;
}

// The calibration of the spectrum, or none with a note.
void calibrate(const n42_reader& r, const n42_spectrum& sp, spc_spectrum* s, spc_error* err,
               bool* ok) {
    const n42_calibration* cal = nullptr;
    for (const auto& c : r.calibrations)
        if (!sp.calibration.empty() && c.id == sp.calibration) cal = &c;
    if (!cal && sp.calibration.empty() && r.calibrations.size() == 1) cal = &r.calibrations[0];
    if (!cal) {
        if (!sp.calibration.empty())
            s->notes.push_back("the energy calibration " + spc_quote(sp.calibration) +
                               " is not in the file: channels");
        return;
    }
    int n = static_cast<int>(s->counts.size());
    std::vector<double> v;
    std::string bad, note;
    bool edges = cal->coefficients.find_first_not_of(" \t\r\n") == std::string::npos;
    if (!numbers(edges ? cal->boundaries : cal->coefficients, &v, &bad)) {
        *ok = spc_fail(err, 0,
                       std::string(edges ? "EnergyBoundaryValues" : "CoefficientValues") + ": " +
                           bad + " is not a number");
        return;
    }
    if (!edges && !v.empty()) {
        s->calib = spc_calib_from_poly(v, true, n, &note);
    } else if (edges && v.size() == static_cast<size_t>(n) + 1) {
        std::vector<double> centres(n);
        for (int i = 0; i < n; ++i) centres[i] = (v[i] + v[i + 1]) / 2;
        double worst = 0;
        s->calib = spc_calib_fit(centres, &worst);
        if (worst > 0.1)
            note = "the channel boundaries are approximated by a quadratic (up to " +
                   spc_seconds(std::round(worst * 1000) / 1000) + " keV off)";
    } else {
        s->notes.push_back("the energy calibration " + spc_quote(cal->id) + " holds " +
                           std::to_string(v.size()) + " values for " + std::to_string(n) +
                           " channels: channels");
        return;
    }
    if (!note.empty()) s->notes.push_back(note);
    if (cal->deviations)
        s->notes.push_back("the energy deviations of the calibration are not applied");
}

}  // namespace

// "PnDTnHnMn.nS" (xsd:duration without years or months) in seconds; false otherwise.
bool spc_duration(std::string_view d, double* seconds) {
    std::string t;
    for (char c : d)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') t.push_back(c);
    if (t.size() < 3 || t[0] != 'P') return false;
    double total = 0;
    bool in_time = false, any = false;
    size_t at = 1;
    while (at < t.size()) {
        if (t[at] == 'T') {
            if (in_time) return false;
            in_time = true;
            ++at;
            continue;
        }
        size_t unit = t.find_first_not_of("0123456789.", at);
        double v;
        if (unit == std::string::npos || unit == at ||
            !spc_number(std::string_view(t).substr(at, unit - at), &v))
            return false;
        char u = t[unit];
        double scale = !in_time && u == 'D'  ? 86400
                       : in_time && u == 'H' ? 3600
                       : in_time && u == 'M' ? 60
                       : in_time && u == 'S' ? 1
                                             : 0;
        if (scale == 0) return false;  // years and months have no length in seconds
        total += v * scale;
        any = true;
        at = unit + 1;
    }
    if (!any || !(total <= SPC_MAX_SECONDS)) return false;
    *seconds = total;
    return true;
}

// "YYYY-MM-DDThh:mm:ss[.s][Z|+hh:mm|-hh:mm]" (xsd:dateTime). `zoned` false when it gives no
// time zone (then it is read as UTC).
bool spc_date_time(std::string_view d, time_t* out, bool* zoned) {
    std::string t(d.substr(0, 64));
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
    size_t lead = t.find_first_not_of(" \t\r\n");
    if (lead == std::string::npos) return false;
    t = t.substr(lead);
    struct tm tm {};
    int consumed = 0;
    if (std::sscanf(t.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6 ||
        consumed != 19 || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 ||
        tm.tm_hour > 24 || tm.tm_min > 59 || tm.tm_sec > 60)
        return false;
    std::string_view rest = std::string_view(t).substr(19);
    if (!rest.empty() && rest[0] == '.') {
        size_t digits = rest.find_first_not_of("0123456789", 1);
        if (digits == 1) return false;
        rest = rest.substr(digits == std::string_view::npos ? rest.size() : digits);
    }
    long offset = 0;
    *zoned = !rest.empty();
    if (rest == "Z") {
    } else if (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && rest[3] == ':') {
        int hh = 0, mm = 0;
        if (std::sscanf(std::string(rest.substr(1)).c_str(), "%2d:%2d", &hh, &mm) != 2 || hh > 14 ||
            mm > 59)
            return false;
        offset = (rest[0] == '+' ? 1 : -1) * (hh * 3600L + mm * 60L);
    } else if (!rest.empty()) {
        return false;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    *out = timegm(&tm) - offset;
    return true;
}

bool spc_parse_n42(std::string_view text, const std::string& choice, spc_spectrum* out,
                   spc_error* err) {
    n42_reader r;
    r.doc = text;
    std::string error;
    size_t offset = 0;
    if (!spc_xml_scan(text, &r, &error, &offset))
        return spc_fail(err, spc_line_of(text, offset), "not XML: " + error);
    if (!r.failure.empty()) return spc_fail(err, 0, r.failure);
    if (r.spectra.empty()) return spc_fail(err, 0, "an N42 file without a spectrum");
    int k = chosen(r, choice, err);
    if (k < 0) return false;
    const n42_spectrum& sp = r.spectra[k];
    const n42_measurement& m = r.measurements[sp.measurement];
    spc_spectrum s;
    s.format = "n42";
    s.header = false;
    if (!channel_counts(sp, text, &s.counts, err)) return false;
    bool ok = true;
    calibrate(r, sp, &s, err, &ok);
    if (!ok) return false;
    double seconds;
    if (spc_duration(m.real_time, &seconds))
        s.real_time = seconds;
    else if (!m.real_time.empty())
        s.notes.push_back("RealTimeDuration " + spc_quote(m.real_time) + " is not a duration");
    if (spc_duration(sp.live_time, &seconds))
        s.live_time = seconds;
    else if (!sp.live_time.empty())
        s.notes.push_back("LiveTimeDuration " + spc_quote(sp.live_time) + " is not a duration");
    bool zoned = false;
    if (!m.start.empty()) {
        if (!spc_date_time(m.start, &s.start, &zoned))
            s.notes.push_back("StartDateTime " + spc_quote(m.start) + " is not a date and time");
        else if (!zoned)
            s.notes.push_back("StartDateTime " + spc_quote(m.start) +
                              " has no time zone: not used");
        s.has_start = zoned;
    }
    // nv-spc's own exports carry what the spectrum text file held besides its counts in two
    // remarks of the measurement (earlier ones: of the document).
    if (r.creator.rfind(SPC_N42_CREATOR, 0) == 0) {
        std::string header, closing;
        auto scan = [&](const std::vector<std::string>& remarks) {
            for (const auto& t : remarks) {
                if (t.rfind(SPC_HEADER_NOTE, 0) == 0)
                    header = t.substr(std::strlen(SPC_HEADER_NOTE));
                if (t.rfind(SPC_CLOSING_NOTE, 0) == 0)
                    closing = t.substr(std::strlen(SPC_CLOSING_NOTE));
            }
        };
        scan(r.remarks);
        scan(m.remarks);
        if ((!header.empty() || !closing.empty()) && !spc_carried(header, closing, &s, 0, err))
            return false;
    }
    s.source =
        "N42 from " + (r.creator.empty() ? std::string("an unnamed writer") : spc_quote(r.creator));
    std::string instrument =
        r.manufacturer + (r.manufacturer.empty() || r.model.empty() ? "" : " ") + r.model;
    if (!instrument.empty()) s.source += ", instrument " + spc_quote(instrument);
    if (r.spectra.size() > 1)
        s.source += ", spectrum " + std::to_string(k + 1) + " of " +
                    std::to_string(r.spectra.size()) + " (" + describe(r, k, false) + ")";
    if (s.has_start) s.source += ", started " + spc_utc_text(s.start);
    *out = std::move(s);
    return true;
}
