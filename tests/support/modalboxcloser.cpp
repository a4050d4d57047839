#include "modalboxcloser.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>

ModalBoxCloser::ModalBoxCloser(QMessageBox::StandardButton answer, int intervalMs)
    : answer(answer)
{
    connect(&timer, &QTimer::timeout, this, &ModalBoxCloser::closeModal);
    timer.start(intervalMs);
}

QList<ModalBoxCloser::Box> ModalBoxCloser::withTitle(const QString& title) const
{
    QList<Box> result;
    for (const Box& box : boxes) {
        if (box.title == title)
            result.append(box);
    }
    return result;
}

QString ModalBoxCloser::describe() const
{
    QStringList lines;
    for (const Box& box : boxes)
        lines.append(box.title + QStringLiteral(": ") + box.text);
    return lines.join(QLatin1Char('\n'));
}

void ModalBoxCloser::closeModal()
{
    QWidget* const modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    auto* const box = qobject_cast<QMessageBox*>(modal);
    if (!box) {
        modal->close();
        return;
    }
    boxes.append({box->windowTitle(), box->text(), box->icon(), box->parentWidget() != nullptr, box->textFormat()});
    // The static QMessageBox functions report the button clicked, so click.
    QAbstractButton* button = box->button(answer);
    if (!button)
        button = box->escapeButton();
    if (!button)
        button = box->defaultButton();
    if (!button && !box->buttons().isEmpty())
        button = box->buttons().first();
    if (button)
        button->click();
    else
        box->done(0);
}
