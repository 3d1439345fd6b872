#!/bin/sh
# man_page_check.sh QUELBRIX PAGE [PAGE...]: quelbrix(1) names every command
# and option that `quelbrix --help` names and every option of each command's
# own --help, has the sections a reader looks for, and every PAGE reads in
# man(1) without a warning, so the installed pages cannot fall behind.
exe=$1
page=$2
shift
plain=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\,//g' -e 's/\\\///g' "$page") || exit 1
words=$("$exe" --help | grep -oE '^ +[-a-z][-a-z,]*' | tr ',' ' ')
count=0
for word in $words; do
  count=$((count + 1))
  printf '%s\n' "$plain" | grep -qF -- "$word" || { echo "$page lacks $word"; exit 1; }
done
[ "$count" -ge 10 ] || { echo "only $count words found in --help"; exit 1; }
echo "$count commands and options checked"

options=0
for command in search repair defrag rebuild regsave load unload delete-subkeys export; do
  for word in $("$exe" "$command" --help | grep -oE '^ +-[-a-z,]*' | tr ',' ' '); do
    options=$((options + 1))
    printf '%s\n' "$plain" | grep -qF -- "$word" || { echo "$page lacks $word of $command"; exit 1; }
  done
done
[ "$options" -ge 20 ] || { echo "only $options options found in the commands' --help"; exit 1; }
echo "$options options of the commands checked"

for section in NAME SYNOPSIS DESCRIPTION OPTIONS COMMANDS 'EXIT STATUS' ENVIRONMENT FILES EXAMPLES 'SEE ALSO'; do
  grep -qE "^\.SH \"?$section\"?\$" "$page" || { echo "$page lacks the section $section"; exit 1; }
done
for other in hivexsh hivexregedit reglookup regfinfo; do
  grep -A8 '^\.SH "SEE ALSO"' "$page" | grep -qF ".BR $other (1)" || { echo "$page: SEE ALSO lacks $other(1)"; exit 1; }
done

# As lintian reads a page: any warning of groff or man fails.
for each in "$@"; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$each" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$each: $warnings"; exit 1; }
done
echo "$# pages read without warnings"
