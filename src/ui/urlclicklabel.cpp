#include "ui/urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString& newUrl)
{
    url = newUrl;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event)
{
    // The press is ours alone, whatever the button and whether or not
    // anything is opened.
    event->accept();
    if (url.isEmpty())
        return;
    // The banner's address comes from the network: open web pages only,
    // never local files or other registered handlers.
    const QUrl target(url);
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return;
    QDesktopServices::openUrl(target);
}
