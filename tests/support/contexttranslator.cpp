#include "contexttranslator.h"

QString ContextTranslator::tagged(const char* context, const QString& text)
{
    return QLatin1Char('[') + QLatin1String(context) + QLatin1String("] ") + text;
}

QString ContextTranslator::translate(const char* context, const char* sourceText, const char*, int) const
{
    return tagged(context, QString::fromUtf8(sourceText));
}
