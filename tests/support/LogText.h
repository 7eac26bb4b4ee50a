#pragma once

#include <QString>

// Everything the text log holds so far (waits for pending lines to reach the disk first).
QString loggedText();
