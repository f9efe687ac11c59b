#pragma once

#include <QObject>

class TestModel : public QObject {
    Q_OBJECT
private slots:
    void numberAndTextRules_data();
    void numberAndTextRules();
    void textFieldsIgnoreOtherTypes();
    void magnetDerivation();
    void dubAndSubtitleDerivation();
    void defaultDub();
    void findDubPasses();
    void episodeDocument();
};
