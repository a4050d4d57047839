#include "app/log.h"

#include <QString>

Q_LOGGING_CATEGORY(lcUpdate, "kr3.update", QtInfoMsg)

void Log::line(const QString& text)
{
    qCInfo(lcUpdate).noquote() << text;
}
