#include "untFunctionSysInfo.h"

#include "file_version.h"

namespace pruvell {

QString FileVersionString(const QString& path) {
    plat::file_version_block block{};
    switch (plat::read_file_version(path.toStdString(), block)) {
    case plat::version_status::none:
        return QString();
    case plat::version_status::unreadable:
        return QStringLiteral("-1");
    case plat::version_status::ok:
        break;
    }
    return QStringLiteral("%1.%2.%3.%4")
        .arg(block.file_version_ms >> 16)
        .arg(block.file_version_ms & 0xFFFF)
        .arg(block.file_version_ls >> 16)
        .arg(block.file_version_ls & 0xFFFF);
}

} // namespace pruvell
