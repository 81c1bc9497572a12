#pragma once

#include <QPointF>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class ZRImageCutView;
class QTextStream;

// Runs scenario lines against a real canvas in a QApplication: input goes
// through Qt's own event delivery, as a user's would. One command a line.
class Driver {
public:
    Driver();
    ~Driver();

    // Runs one line. Returns false with `error` set for an unknown command or
    // a bad argument.
    bool run(const QString& line, QString* error);

    ZRImageCutView& canvas() { return *m_view; }

private:
    bool dispatch(const QString& command, const QStringList& args, QString* error);
    // The colour tools' commands (DriverTools.cpp); none for another command.
    std::optional<bool> dispatchTools(const QString& command, const QStringList& args, QString* error);
    QString toolState() const;
    void sendMouse(int type, QPointF pos, bool buttonDown);
    void sendKey(int type, int key, quint32 scanCode, Qt::KeyboardModifiers modifiers);
    void waitIdle();
    void print(const QString& text);

    std::unique_ptr<ZRImageCutView> m_view;
    Qt::KeyboardModifiers m_held;
    bool m_buttonDown = false;
    double m_pressure = -1; // a pen's pressure for presses and moves; none: the mouse
};
