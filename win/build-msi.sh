#!/bin/sh
# The Windows installer from the staged files of make windows-package, with msitools:
#   win/build-msi.sh STAGE_DIR VERSION OUTPUT.msi
# wixl builds it from win/nv-term.wxs; msibuild then adds what wixl does not write from the
# source:
# - the installation folder in the system PATH, through the Environment table (set on install,
#   removed on uninstall) and the two standard actions that apply it. The folder is put in
#   front ("[INSTALLDIR];[~]"): appended ("[~];[INSTALLDIR]"), Wine's installer leaves its
#   separator behind on removal, and the PATH would gain a ';' with every uninstall;
# - a build of the same version replaces the installed one (WiX's AllowSameVersionUpgrades,
#   which wixl ignores): the Upgrade row that finds older versions to remove takes this version
#   too (VersionMaxInclusive, 0x200, beside MigrateFeatures, 1). Every build has a product code
#   of its own, so without it two builds of one version would be installed side by side.
set -eu
stage=$1 version=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
cd "$(dirname "$stage")"
wixl -a x64 -D Version="$version" -D Stage="$(basename "$stage")" -o "$out.tmp" "$here/nv-term.wxs"
upgrade=$(msiinfo export "$out.tmp" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED"')
upgrade_code=$(printf '%s\n' "$upgrade" | cut -f1)
[ -n "$upgrade_code" ] || { echo "build-msi.sh: wixl wrote no upgrade of older versions" >&2; exit 1; }
msibuild "$out.tmp" \
    -q "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL,
        \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE,
        \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)" \
    -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`)
        VALUES ('PATH', '=-*PATH', '[INSTALLDIR];[~]', 'Programs')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`)
        VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`)
        VALUES ('WriteEnvironmentStrings', 5200)" \
    -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
    -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`)
        VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
mv "$out.tmp" "$out"
