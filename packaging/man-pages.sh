#!/bin/sh
# The vordakit man pages, made from the commands' --help by help2man:
# vordakit.1 and one vordakit-COMMAND.1 per subcommand (man vordakit-grid),
# gzipped as Debian wants them. The subcommands are read from the parser, so
# a new one gets its page without a change here.
# usage: man-pages.sh HELP2MAN SOURCE_DIR OUT_DIR VERSION; the pages land in
# OUT_DIR/man1, the rest (help2man's wrappers and includes) beside it.
set -eu
help2man=$1 source=$2 out=$3 version=$4
python=/usr/bin/python3
# argparse wraps to the terminal: wide enough that the usage stays on one line,
# which help2man would take apart at its breaks (man fills the text again).
export PYTHONPATH="$source/python" PYTHONDONTWRITEBYTECODE=1 COLUMNS=1000

rm -rf "$out"
mkdir -p "$out/bin" "$out/man1"
# One line per subcommand: its name, a tab and its one-line summary.
"$python" -c '
import argparse
from vordakit.cli import build_parser
for action in build_parser()._actions:
    if isinstance(action, argparse._SubParsersAction):
        for choice in action._choices_actions:
            print(f"{choice.dest}\t{choice.help}")
' > "$out/commands.tsv"

# The pages refer to each other and to the documents the package installs.
see_also() {
    printf '[SEE ALSO]\n'
    # \% keeps a name from being broken at its hyphen.
    for name in "$@"; do printf '.BR \\%%%s (1),\n' "$name"; done
    printf '.BR vorda (1).\n.PP\n'
    printf 'Every command and option is described in\n.I docs/toolkit.md\n'
    printf 'and the file layouts in\n.I docs/file-formats.md\n'
    printf 'among the documents installed with the program (in\n'
    printf '.I /usr/share/doc/vorda\n'
    printf 'from the Debian package).\n'
}

pages=$(cut -f1 "$out/commands.tsv" | sed 's/^/vordakit-/' | tr '\n' ' ')
# shellcheck disable=SC2086
see_also $pages > "$out/vordakit.see-also"
"$help2man" --no-info --no-discard-stderr "--name=companion toolkit of VORDA" \
    --include="$out/vordakit.see-also" --output="$out/man1/vordakit.1" "$source/packaging/vordakit-help"

while IFS="$(printf '\t')" read -r command summary; do
    # help2man names a page after the program it runs: a wrapper of that name.
    wrapper="$out/bin/vordakit-$command"
    printf '#!/bin/sh\nexec %s -m vordakit %s "$@"\n' "$python" "$command" > "$wrapper"
    chmod +x "$wrapper"
    see_also vordakit > "$out/$command.see-also"
    "$help2man" --no-info --no-discard-stderr "--version-string=$version" "--name=$summary" \
        --include="$out/$command.see-also" --output="$out/man1/vordakit-$command.1" "$wrapper"
done < "$out/commands.tsv"

for page in "$out"/man1/*.1; do
    gzip -9nf "$page"
done
