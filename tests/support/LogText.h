#pragma once

#include <QString>

// Everything the text log holds so far (waits for pending lines to reach the disk first).
QString loggedText();

// Where the log ends now; loggedTextSince() gives what was written after it, so a case sees
// its own lines only and not those of the cases that ran before it in the same process.
qsizetype logMark();
QString loggedTextSince(qsizetype mark);
