#pragma once

// Fixed data of the offline update self-test. The two Ed25519 test key pairs
// were generated once for this purpose (their private halves are not needed:
// the self-test only verifies). kTestSignature and kOtherSignature are both over
// kTestManifest, made with:
//   openssl genpkey -algorithm ed25519 -out k.pem
//   openssl pkeyutl -sign -rawin -inkey k.pem -in manifest.json | base64 -w0

namespace svd::update::selftestdata {

inline constexpr const char kTestManifest[] =
    "{\"version\":\"0.2.0\",\"platform\":\"win\",\"arch\":\"x64\",\"channel\":\"stable\","
    "\"file\":\"Sorvanta-Setup-0.2.0.exe\",\"size\":1234567,"
    "\"sha256\":\"abababababababababababababababababababababababababababababababab\","
    "\"notes\":\"\xd0\xa2\xd0\xb5\xd1\x81\xd1\x82\",\"mandatory\":false,\"minVersion\":null,"
    "\"publishedAt\":\"2026-11-26T12:00:00Z\"}";

inline constexpr const char kTestPublicKey[] = "n2HS6c+3RZGRVS1oh3ks7W84yxzGM8cCLnuAdu3IZnI=";
inline constexpr const char kTestSignature[] =
    "rHYBkhiLOMMUaxJtEwW00gL+ACGtPPE4DFpta7k5qvIEeb7yVDy58FAKzJ8rmZzO9QGFNSI8Reuv3BU8xorHBA==";

inline constexpr const char kOtherPublicKey[] = "ZtmRWniWWg01EilNlrRXegdWVS2e8S40sDiH6iozvHU=";
inline constexpr const char kOtherSignature[] =
    "Fw5Z8KyPDg4EkYLKnf5jvMuhC2EPFwYgIGKn/9BhY9aNCjhHm1HwAci/CDCaEZMpb0aMukpIQ1Px1ScLU8kNBA==";

} // namespace svd::update::selftestdata
