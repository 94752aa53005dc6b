# What a user would otherwise write: the same renumbering as a mawk one-off.
BEGIN { RS = "\r\n|\r"; FS = "\",\""; OFS = "\",\""; ORS = "\r\n"
        n = split("0 99 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 19 16 17 18", old, " ")
        for (i = 1; i <= n; i++) new[old[i]] = i - 1 }
{ if ($4 in new) code = new[$4]; $4 = code; print }
