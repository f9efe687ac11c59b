#pragma once

namespace svd {

// Offline tests of the verification rules (signatures, manifests, URLs,
// installer lock); logs one line per case. 0 when all passed, else 1.
int runUpdateSelfTest();

} // namespace svd
