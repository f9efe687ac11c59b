#pragma once

#include <QObject>

// The offline rules: signatures, envelope, manifest validation, versions, URLs, hashes.
class TestVerification : public QObject {
    Q_OBJECT
private slots:
    void selfTestPasses();
    void signatureLengthsAndScalarBoundary();
    void signRoundTripWithFreshKey();
    void publicKeyValidity_data();
    void publicKeyValidity();
    void envelope_data();
    void envelope();
    void validationMessages_data();
    void validationMessages();
    void evaluateChecksSignatureFirst();
    void basePolicy_data();
    void basePolicy();
    void endpointUrls();
    void sha256();
    void versions();
};
