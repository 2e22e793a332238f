#pragma once

#include <QString>

namespace tessaral {

// Text a server chose (its desktop name, a failure reason), made safe to show in a title or a
// status line: control and formatting characters (bidirectional overrides among them) removed,
// runs of white space collapsed to one space, trimmed, and cut at `maximumLength` characters
// with "…" at the end.
QString displayText(const QString& serverText, int maximumLength = 80);

}  // namespace tessaral
