#pragma once

#include <QObject>

// The release tools end to end: keygen -> sign-release -> make-feed -> a plain static web
// server on 127.0.0.1 -> the program. The program takes the generated public key through
// --update-test-key (rebuilding it with that key is too slow here); that the build setting
// reaches a binary is the ctest update_key_setting.
class TestRelease : public QObject {
    Q_OBJECT
private slots:
    void pipeline();
};
