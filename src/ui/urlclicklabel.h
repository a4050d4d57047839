#pragma once

#include <QLabel>
#include <QString>

// A label that opens a web address in the desktop's browser when clicked
// (the logo and the banner of the window).
class UrlClickLabel : public QLabel
{
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& url);
    QString getUrl() const { return url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString url;
};
