# The Debian changelog made from CHANGELOG.md: one entry for each heading
# "## VERSION - YYYY-MM-DD", newest first, whose "- " items become "  * "
# items (lines that go on with two blanks go on with four). The notes under
# "## Unreleased" are left out. The newest entry must be the project's
# version. Releases of one day are a minute apart, the first at midnight, so
# that each entry is newer than the one below it.
#   awk -v version=1.0.0 -v maintainer='Name <address>' -f changelog.awk CHANGELOG.md
function fail(message) {
    print FILENAME ":" FNR ": " message > "/dev/stderr"
    failed = 1
    exit 1
}
# The day of the week, by Sakamoto's method, and the date as RFC 5322 has it.
function rfc5322(text, minute,   part, year, month, day, offsets, names, months) {
    if (text !~ /^[0-9][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9]$/) fail("not a date: " text)
    split(text, part, "-")
    year = part[1] + 0; month = part[2] + 0; day = part[3] + 0
    split("0 3 2 5 0 3 5 1 4 6 2 4", offsets, " ")
    split("Sun Mon Tue Wed Thu Fri Sat", names, " ")
    split("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec", months, " ")
    if (month < 1 || month > 12 || day < 1 || day > 31) fail("not a date: " text)
    if (month < 3) year--
    weekday = (year + int(year / 4) - int(year / 100) + int(year / 400) + offsets[month] + day) % 7
    return sprintf("%s, %02d %s %d %02d:%02d:00 +0000", names[weekday + 1], day, months[month], part[1],
        int(minute / 60), minute % 60)
}
/^## / {
    entry = ""
    if ($2 == "Unreleased" && NF == 2) { skipping = 1; next }
    skipping = 0
    if (NF != 4 || $3 != "-") fail("not a heading \"## VERSION - YYYY-MM-DD\": " $0)
    if (!entries && $2 != version) fail("the newest entry is " $2 ", not the project's version " version)
    rfc5322($4, 0)
    date[++entries] = $4
    text[entries] = "portkick (" $2 ") unstable; urgency=medium\n\n"
    entry = $2
    next
}
skipping || !entry || /^$/ { next }
/^- / { text[entries] = text[entries] "  * " substr($0, 3) "\n"; next }
/^  [^ ]/ { text[entries] = text[entries] "    " substr($0, 3) "\n"; next }
{ fail("neither an item \"- \" nor its next line \"  \": " $0) }
END {
    if (failed) exit 1
    if (!entries) { print FILENAME ": no entry for " version > "/dev/stderr"; exit 1 }
    for (n = entries; n >= 1; n--) minute[n] = n < entries && date[n] == date[n + 1] ? minute[n + 1] + 1 : 0
    for (n = 1; n <= entries; n++)
        printf "%s%s\n -- %s  %s\n", (n > 1 ? "\n" : ""), text[n], maintainer, rfc5322(date[n], minute[n])
}
