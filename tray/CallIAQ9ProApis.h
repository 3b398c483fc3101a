// The calls the program makes through Drumvale to fill its records.
#pragma once

#include <QStringList>

#include <cstdint>

#include "CerMgrApis.h"

namespace pruvell {

// Splits container_load_all's buffer: names end at a NUL, nothing is read
// at or beyond `length` (nor beyond the buffer), empty names are skipped,
// and at most max_containers names are kept.
QStringList SplitContainerNames(const char* buffer, uint32_t length, uint32_t buffer_size);

// token_get_info and container_load_all of one token into its record. The
// result of token_get_info (containers that cannot be listed leave a count
// of 0).
uint32_t ReadTokenInfo(uint32_t index, TQ9Info& info);

// helper_get_cert_info2 into the record (the DER stays as given).
uint32_t ReadCertInfo(const std::vector<uint8_t>& der, TQ9CertInfo& info);

} // namespace pruvell
