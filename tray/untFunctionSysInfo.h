// System information of the program: the version of a program file.
#pragma once

#include <QString>

namespace pruvell {

// The file version of a program or library as "a.b.c.d": empty when the
// file has no version resource, "-1" when it cannot be read.
QString FileVersionString(const QString& path);

} // namespace pruvell
