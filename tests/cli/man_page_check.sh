#!/bin/sh
# man_page_check.sh QUELBRIX PAGE: quelbrix(1) names every command and option
# that `quelbrix --help` names, so the installed page cannot fall behind.
exe=$1
page=$2
plain=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\,//g' -e 's/\\\///g' "$page") || exit 1
words=$("$exe" --help | grep -oE '^ +[-a-z][-a-z,]*' | tr ',' ' ')
count=0
for word in $words; do
  count=$((count + 1))
  printf '%s\n' "$plain" | grep -qF -- "$word" || { echo "$page lacks $word"; exit 1; }
done
[ "$count" -ge 10 ] || { echo "only $count words found in --help"; exit 1; }
echo "$count commands and options checked"
