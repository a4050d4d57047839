#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>

// Closes every modal box that comes up while it lives, from a timer of the
// event loop (the box's own local loop runs it), and remembers what each
// box showed. A message box is answered by clicking a button: the answer
// when the box has it, else its escape or default button, else its first.
//
//     ModalBoxCloser closer(QMessageBox::Yes);
//     window.close();                 // asks; the closer answers Yes
//     QCOMPARE(closer.boxes.size(), 1);
class ModalBoxCloser : public QObject
{
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool hasParent = false;
        Qt::TextFormat format = Qt::AutoText;
    };

    explicit ModalBoxCloser(QMessageBox::StandardButton answer = QMessageBox::Ok, int intervalMs = 10);

    void setAnswer(QMessageBox::StandardButton newAnswer) { answer = newAnswer; }
    // Boxes with this title, in order.
    QList<Box> withTitle(const QString& title) const;
    // "title: text" of every box, for failure messages.
    QString describe() const;

    QList<Box> boxes;

private:
    void closeModal();

    QMessageBox::StandardButton answer;
    QTimer timer;
};
