#!/bin/sh
# The Windows installer from the staged files of make windows-package, with msitools:
#   win/build-msi.sh STAGE_DIR VERSION OUTPUT.msi
# wixl builds it from win/nv-term.wxs; its folder joins the system PATH through the Environment
# table, which wixl does not write from the source: msibuild adds the table (append on install,
# remove on uninstall) and the two standard actions that apply it.
set -eu
stage=$1 version=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
cd "$(dirname "$stage")"
wixl -a x64 -D Version="$version" -D Stage="$(basename "$stage")" -o "$out.tmp" "$here/nv-term.wxs"
msibuild "$out.tmp" \
    -q "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL,
        \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE,
        \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)" \
    -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`)
        VALUES ('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'Programs')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`)
        VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`)
        VALUES ('WriteEnvironmentStrings', 5200)"
mv "$out.tmp" "$out"
