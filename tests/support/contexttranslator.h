#pragma once

#include <QTranslator>

// A translator that turns every text into "[context] text", so a test sees
// which translation context a text was requested under. Install it with
// QCoreApplication::installTranslator(); it removes itself when destroyed.
class ContextTranslator : public QTranslator
{
    Q_OBJECT

public:
    using QTranslator::QTranslator;

    // The expected result for a text under a context.
    static QString tagged(const char* context, const QString& text);

    QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override { return false; }
};
