#pragma once

#include <QLoggingCategory>

class QString;

// Every line of the details log and every fatal error also goes through
// Qt's logging under this category, so a run from a terminal shows it.
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)

namespace Log {
// Writes one line of the details log (qInfo in category "kr3.update").
void line(const QString& text);
}
