#include "CallIAQ9ProApis.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pruvell {

QStringList SplitContainerNames(const char* buffer, uint32_t length, uint32_t buffer_size) {
    QStringList names;
    if (buffer == nullptr) return names;
    const uint32_t end = std::min(length, buffer_size);
    for (uint32_t pos = 0; pos < end && names.size() < max_containers;) {
        const size_t n = strnlen(buffer + pos, end - pos);
        if (n > 0) names.push_back(QString::fromUtf8(buffer + pos, static_cast<qsizetype>(n)));
        pos += static_cast<uint32_t>(n) + 1;
    }
    return names;
}

uint32_t ReadTokenInfo(uint32_t index, TQ9Info& info) {
    info = TQ9Info{};
    const uint32_t rc = token_get_info(
        index, info.Label, info.Manufacturer, info.Model, info.SerialNumber, &info.MaxPinLen,
        &info.MinPinLen, &info.Unused[0], &info.Unused[1], &info.Unused[2], &info.Unused[3],
        &info.Unused[4], &info.Unused[5], &info.Initialised);
    if (rc != 0) return rc;
    std::vector<char> buffer(container_buffer_size, '\0');
    uint32_t length = container_buffer_size;
    const uint32_t list = container_load_all(index, buffer.data(), &length);
    if (list != 0 && list != DRUMVALE_E_TOO_MANY_CONTAINERS) return 0;
    const QStringList names = SplitContainerNames(buffer.data(), length, container_buffer_size);
    for (const QString& n : names)
        info.ContainerNames[static_cast<size_t>(info.ContainerCount++)] = n;
    return 0;
}

uint32_t ReadCertInfo(const std::vector<uint8_t>& der, TQ9CertInfo& info) {
    info = TQ9CertInfo{};
    if (der.size() > certificate_buffer_size) return DRUMVALE_E_BUFFER_TOO_SMALL;
    uint16_t subject[257] = {}, issuer[257] = {};
    char serial[257] = {};
    const uint32_t rc =
        helper_get_cert_info2(der.data(), static_cast<uint32_t>(der.size()), subject, issuer,
                              &info.Version, serial, info.NotBefore, info.NotAfter, &info.Kind);
    if (rc != 0) return rc;
    info.Der = der;
    info.Subject = QString::fromUtf16(reinterpret_cast<const char16_t*>(subject));
    info.Issuer = QString::fromUtf16(reinterpret_cast<const char16_t*>(issuer));
    info.Serial = QString::fromLatin1(serial);
    info.NotBeforeText =
        QString::asprintf("%.4d-%.2d-%.2d", static_cast<int>(info.NotBefore[0]),
                          static_cast<int>(info.NotBefore[1]), static_cast<int>(info.NotBefore[2]));
    info.NotAfterText =
        QString::asprintf("%.4d-%.2d-%.2d", static_cast<int>(info.NotAfter[0]),
                          static_cast<int>(info.NotAfter[1]), static_cast<int>(info.NotAfter[2]));
    return 0;
}

} // namespace pruvell
