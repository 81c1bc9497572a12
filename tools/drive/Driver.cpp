#include "Driver.h"

#include "app/ClipboardCopy.h"
#include "app/DragView.h"
#include "app/Exporter.h"
#include "canvas/CanvasLayer.h"
#include "canvas/SessionRecord.h"
#include "canvas/ZRImageCutView.h"
#include "imaging/ImageAction.h"
#include "imaging/PngCodec.h"
#include "platform/MainThread.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>
#include <QColor>
#include <QMap>
#include <QPointingDevice>
#include <QTabletEvent>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QThread>
#include <QWindow>
#include <QWheelEvent>

#include <cmath>
#include <cstdio>

namespace {

bool toNumber(const QString& text, double* out)
{
    bool ok = false;
    *out = text.toDouble(&ok);
    return ok && std::isfinite(*out);
}

bool writeBytes(const QString& path, const QByteArray& bytes, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

const char* cursorName(ZRImageCutView::CursorKind kind)
{
    switch (kind) {
    case ZRImageCutView::CursorKind::Arrow:
        return "arrow";
    case ZRImageCutView::CursorKind::OpenHand:
        return "openhand";
    case ZRImageCutView::CursorKind::ClosedHand:
        return "closedhand";
    case ZRImageCutView::CursorKind::Brush:
        return "brush";
    case ZRImageCutView::CursorKind::Colour:
        return "colour";
    case ZRImageCutView::CursorKind::BackgroundBrush:
        return "backgroundbrush";
    case ZRImageCutView::CursorKind::Box:
        return "box";
    }
    return "arrow";
}

struct Modifier {
    Qt::KeyboardModifier flag;
    Qt::Key key;
};

bool modifierNamed(const QString& name, Modifier* out)
{
    if (name == QLatin1String("ctrl"))
        *out = {Qt::ControlModifier, Qt::Key_Control};
    else if (name == QLatin1String("alt"))
        *out = {Qt::AltModifier, Qt::Key_Alt};
    else if (name == QLatin1String("shift"))
        *out = {Qt::ShiftModifier, Qt::Key_Shift};
    else
        return false;
    return true;
}

} // namespace

Driver::Driver() : m_view(std::make_unique<ZRImageCutView>())
{
    m_view->resize(800, 600);
    m_view->setWindowTitle(QStringLiteral("Veltrane canvas"));
    m_view->show();
    QApplication::processEvents();
}

Driver::~Driver() = default;

void Driver::print(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool Driver::run(const QString& rawLine, QString* error)
{
    const QString line = rawLine.trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
        return true;
    QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString command = words.takeFirst();
    const bool ok = dispatch(command, words, error);
    QApplication::processEvents();
    return ok;
}

void Driver::sendMouse(int type, QPointF pos, bool buttonDown)
{
    const QPointF global = m_view->mapToGlobal(pos);
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons buttons = buttonDown ? Qt::LeftButton : Qt::NoButton;
    if (m_pressure >= 0 && type != QEvent::MouseButtonRelease) {
        // A pen: its tablet event first, which the canvas leaves for Qt to
        // turn into the mouse event that follows at the same place.
        static const QPointingDevice pen(QStringLiteral("scenario pen"), 7001, QInputDevice::DeviceType::Stylus,
                                         QPointingDevice::PointerType::Pen,
                                         QInputDevice::Capability::Position | QInputDevice::Capability::Pressure,
                                         1, 3);
        QTabletEvent tablet(type == QEvent::MouseButtonPress ? QEvent::TabletPress : QEvent::TabletMove, &pen, pos,
                            global, m_pressure, 0, 0, 0, 0, 0, m_held, button, buttons);
        QApplication::sendEvent(m_view.get(), &tablet);
    }
    QMouseEvent event(QEvent::Type(type), pos, pos, global, button, buttons, m_held);
    QApplication::sendEvent(m_view.get(), &event);
}

void Driver::sendKey(int type, int key, quint32 scanCode, Qt::KeyboardModifiers modifiers)
{
    // Key events enter at the window, as the window system delivers them.
    QObject* target = m_view->windowHandle() ? static_cast<QObject*>(m_view->windowHandle())
                                             : static_cast<QObject*>(m_view.get());
    QKeyEvent event(QEvent::Type(type), key, modifiers, scanCode, 0, 0);
    QApplication::sendEvent(target, &event);
}

void Driver::waitIdle()
{
    m_view->waitUntilIdle();
    QElapsedTimer timer;
    timer.start();
    while (m_view->isAnimating() && timer.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    MainThread::flush();
}

bool Driver::dispatch(const QString& command, const QStringList& args, QString* error)
{
    auto need = [&](int count) {
        if (args.size() != count) {
            *error = QStringLiteral("%1 takes %2 argument(s)").arg(command).arg(count);
            return false;
        }
        return true;
    };
    auto numbers = [&](int count, double* out) {
        if (!need(count))
            return false;
        for (int i = 0; i < count; ++i)
            if (!toNumber(args[i], &out[i])) {
                *error = QStringLiteral("not a number: %1").arg(args[i]);
                return false;
            }
        return true;
    };
    double v[5];
    ZRImageCutView& view = *m_view;
    if (const std::optional<bool> done = dispatchTools(command, args, error))
        return *done;

    if (command == QLatin1String("size")) {
        if (!numbers(2, v))
            return false;
        if (v[0] < 1 || v[1] < 1 || v[0] > 16384 || v[1] > 16384) {
            *error = QStringLiteral("size out of range");
            return false;
        }
        view.resize(int(v[0]), int(v[1]));
    } else if (command == QLatin1String("open")) {
        if (args.isEmpty()) {
            *error = QStringLiteral("open takes a path");
            return false;
        }
        const Picture loaded = ImageAction::imageFromURL(args.join(QLatin1Char(' ')));
        const Picture redrawn = loaded ? ImageAction::resize(loaded, loaded.size()) : Picture();
        if (!redrawn.isValid()) {
            print(QStringLiteral("not a picture"));
            return true;
        }
        view.setImage(redrawn);
        view.setPictureSource(QFileInfo(args.join(QLatin1Char(' '))).absoluteFilePath());
        print(QStringLiteral("opened %1 %2").arg(redrawn.size().width()).arg(redrawn.size().height()));
    } else if (command == QLatin1String("diameter")) {
        if (!numbers(1, v))
            return false;
        view.setBrushDiameter(float(v[0]));
    } else if (command == QLatin1String("hardness")) {
        if (!numbers(1, v))
            return false;
        view.setBrushHardness(float(v[0]));
    } else if (command == QLatin1String("intensity")) {
        if (!numbers(1, v))
            return false;
        view.setBrushAlphaValue(float(v[0]));
    } else if (command == QLatin1String("dragmode")) {
        if (!numbers(1, v))
            return false;
        view.setDragMode(qint64(v[0]));
    } else if (command == QLatin1String("blur")) {
        if (!need(1))
            return false;
        if (args[0] != QLatin1String("on") && args[0] != QLatin1String("off")) {
            *error = QStringLiteral("blur takes on or off");
            return false;
        }
        view.setBlurOn(args[0] == QLatin1String("on"));
    } else if (command == QLatin1String("pressure")) {
        if (!numbers(1, v))
            return false;
        if (v[0] < 0 || v[0] > 1) {
            *error = QStringLiteral("pressure is between 0 and 1");
            return false;
        }
        m_pressure = v[0];
    } else if (command == QLatin1String("hold") || command == QLatin1String("let")) {
        Modifier modifier;
        if (!need(1))
            return false;
        if (!modifierNamed(args[0], &modifier)) {
            *error = QStringLiteral("unknown modifier: %1").arg(args[0]);
            return false;
        }
        if (command == QLatin1String("hold")) {
            m_held |= modifier.flag;
            sendKey(QEvent::KeyPress, modifier.key, 0, m_held);
        } else {
            m_held &= ~modifier.flag;
            sendKey(QEvent::KeyRelease, modifier.key, 0, m_held);
        }
    } else if (command == QLatin1String("enter")) {
        if (!numbers(2, v))
            return false;
        const QPointF pos(v[0], v[1]);
        QEnterEvent event(pos, pos, view.mapToGlobal(pos));
        QApplication::sendEvent(&view, &event);
    } else if (command == QLatin1String("leave")) {
        if (!need(0))
            return false;
        QEvent event(QEvent::Leave);
        QApplication::sendEvent(&view, &event);
    } else if (command == QLatin1String("press")) {
        if (!numbers(2, v))
            return false;
        m_buttonDown = true;
        sendMouse(QEvent::MouseButtonPress, {v[0], v[1]}, true);
    } else if (command == QLatin1String("move")) {
        if (!numbers(2, v))
            return false;
        sendMouse(QEvent::MouseMove, {v[0], v[1]}, m_buttonDown);
    } else if (command == QLatin1String("release")) {
        if (!numbers(2, v))
            return false;
        m_buttonDown = false;
        sendMouse(QEvent::MouseButtonRelease, {v[0], v[1]}, false);
    } else if (command == QLatin1String("click")) {
        if (!numbers(2, v))
            return false;
        sendMouse(QEvent::MouseButtonPress, {v[0], v[1]}, true);
        sendMouse(QEvent::MouseButtonRelease, {v[0], v[1]}, false);
        m_buttonDown = false;
    } else if (command == QLatin1String("stroke")) {
        if (!numbers(5, v))
            return false;
        const int n = int(v[4]);
        if (n < 0 || double(n) != v[4]) {
            *error = QStringLiteral("the move count must be a whole number, 0 or more");
            return false;
        }
        const QPointF from(v[0], v[1]), to(v[2], v[3]);
        sendMouse(QEvent::MouseButtonPress, from, true);
        for (int i = 1; i <= n; ++i)
            sendMouse(QEvent::MouseMove, from + (to - from) * (double(i) / n), true);
        sendMouse(QEvent::MouseButtonRelease, to, false);
        m_buttonDown = false;
    } else if (command == QLatin1String("wheel")) {
        if (!numbers(3, v))
            return false;
        const QPointF pos(v[0], v[1]);
        QWheelEvent event(pos, view.mapToGlobal(pos), QPoint(), QPoint(0, int(std::lround(v[2] * 24))),
                          m_buttonDown ? Qt::LeftButton : Qt::NoButton, m_held, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&view, &event);
    } else if (command == QLatin1String("key")) {
        if (!need(1))
            return false;
        const QStringList parts = args[0].toLower().split(QLatin1Char('+'));
        Qt::KeyboardModifiers modifiers;
        int key = 0;
        quint32 scanCode = 0;
        for (const QString& part : parts) {
            Modifier modifier;
            if (modifierNamed(part, &modifier)) {
                modifiers |= modifier.flag;
            } else if (part == QLatin1String("z")) {
                key = Qt::Key_Z;
                scanCode = 52;
            } else if (part == QLatin1String("i")) {
                key = Qt::Key_I;
                scanCode = 31;
            } else if (part == QLatin1String("escape")) {
                key = Qt::Key_Escape;
                scanCode = 9;
            } else if (part.size() == 1 && part[0].isLetter()) {
                key = Qt::Key_A + (part[0].unicode() - 'a');
                scanCode = 0;
            } else {
                *error = QStringLiteral("unknown key: %1").arg(part);
                return false;
            }
        }
        if (!key) {
            *error = QStringLiteral("no key in %1").arg(args[0]);
            return false;
        }
        sendKey(QEvent::KeyPress, key, scanCode, modifiers | m_held);
        sendKey(QEvent::KeyRelease, key, scanCode, modifiers | m_held);
    } else if (command == QLatin1String("swipe")) {
        if (!numbers(2, v))
            return false;
        view.swipe(v[0], v[1]);
    } else if (command == QLatin1String("magnify")) {
        if (!numbers(1, v))
            return false;
        view.magnify(v[0]);
    } else if (command == QLatin1String("undo")) {
        view.prevHistoryState();
    } else if (command == QLatin1String("redo")) {
        view.nextHistoryState();
    } else if (command == QLatin1String("reset")) {
        view.resetMask();
    } else if (command == QLatin1String("wait")) {
        waitIdle();
    } else if (command == QLatin1String("state")) {
        const QImage mask = view.currentMask();
        const ViewTransform t = view.viewTransform();
        print(QStringLiteral("{\"brushDiameter\":%1,\"brushHardness\":%2,\"brushAlphaValue\":%3,"
                             "\"dragMode\":%4,\"blurOn\":%5,\"maskScale\":%6,\"maskWidth\":%7,"
                             "\"maskHeight\":%8,\"historyLength\":%9,\"historyCurrentState\":%10,"
                             "\"historyFileIndex\":%11,\"imageFit\":%12,\"scale\":%13,\"tx\":%14,"
                             "\"ty\":%15,\"cursor\":\"%16\",\"cursorSize\":%17,%18}")
                  .arg(view.brushDiameter())
                  .arg(view.brushHardness())
                  .arg(view.brushAlphaValue())
                  .arg(view.dragMode())
                  .arg(view.isBlurOn() ? "true" : "false")
                  .arg(view.maskScale())
                  .arg(mask.width())
                  .arg(mask.height())
                  .arg(view.historyLength())
                  .arg(view.historyCurrentState())
                  .arg(view.historyFileIndex())
                  .arg(view.imageFit() ? "true" : "false")
                  .arg(t.scale, 0, 'g', 10)
                  .arg(t.tx, 0, 'g', 10)
                  .arg(t.ty, 0, 'g', 10)
                  .arg(QLatin1String(cursorName(view.cursorKind())))
                  .arg(view.cursorSize())
                  .arg(toolState()));
    } else if (command == QLatin1String("mask")) {
        if (!need(1))
            return false;
        const QImage mask = view.currentMask();
        if (mask.isNull()) {
            print(QStringLiteral("no mask"));
            return true;
        }
        return writeBytes(args[0],
                          PngCodec::encodeAlpha(mask.constBits(), mask.width(), mask.height(),
                                                mask.bytesPerLine()),
                          error);
    } else if (command == QLatin1String("result")) {
        if (!need(1))
            return false;
        const Picture result = view.getResult();
        const QByteArray png = result ? ImageAction::compressedPNGData(result) : QByteArray();
        if (png.isEmpty()) {
            print(QStringLiteral("no result"));
            return true;
        }
        return writeBytes(args[0], png, error);
    } else if (command == QLatin1String("copy")) {
        // The cut-out to the real clipboard, as the editor's Copy does.
        QObject context;
        QString outcome;
        bool done = false;
        ClipboardCopy::copy(&context, view.resultTask(), [&](const QString& e) {
            outcome = e.isEmpty() ? QStringLiteral("copied") : QStringLiteral("copy failed: ") + e;
            done = true;
        });
        while (!done)
            QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        print(outcome);
    } else if (command == QLatin1String("paste")) {
        // A picture from the real clipboard: the first local file it names,
        // else its picture data (through the drop folder, as the editor does).
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        QString path;
        bool ours = false;
        if (data) {
            for (const QUrl& url : data->urls())
                if (path.isEmpty() && url.isLocalFile())
                    path = url.toLocalFile();
            if (path.isEmpty()) {
                path = DragView::writePictureData(DragView::pictureData(*data));
                ours = true;
            }
        }
        const Picture loaded = path.isEmpty() ? Picture() : ImageAction::imageFromURL(path);
        if (ours && !path.isEmpty())
            QFile::remove(path);
        const Picture redrawn = loaded ? ImageAction::resize(loaded, loaded.size()) : Picture();
        if (!redrawn.isValid()) {
            print(QStringLiteral("nothing to paste"));
            return true;
        }
        view.setImage(redrawn);
        view.setPictureSource(ours ? QString() : QFileInfo(path).absoluteFilePath());
        print(QStringLiteral("pasted %1 %2").arg(redrawn.size().width()).arg(redrawn.size().height()));
    } else if (command == QLatin1String("refine")) {
        if (args.size() != 1 || (args[0] != QLatin1String("on") && args[0] != QLatin1String("off"))) {
            *error = QStringLiteral("refine takes on or off");
            return false;
        }
        view.setRefinesEdges(args[0] == QLatin1String("on"));
    } else if (command == QLatin1String("maskload")) {
        if (!need(1))
            return false;
        const QImage mask(args.join(QLatin1Char(' ')));
        if (mask.isNull()) {
            print(QStringLiteral("maskload: not a picture"));
            return true;
        }
        const QImage current = view.currentMask();
        if (current.isNull() || mask.size() != current.size()) {
            print(QStringLiteral("maskload: the mask is %1 x %2, the file %3 x %4")
                      .arg(current.width())
                      .arg(current.height())
                      .arg(mask.width())
                      .arg(mask.height()));
            return true;
        }
        view.loadMask(mask);
        print(QStringLiteral("mask loaded"));
    } else if (command == QLatin1String("view")) {
        static const QMap<QString, Compositor::ViewMode> modes{
            {QStringLiteral("cutout"), Compositor::ViewMode::CutOut},
            {QStringLiteral("overlay"), Compositor::ViewMode::Overlay},
            {QStringLiteral("mask"), Compositor::ViewMode::Mask},
            {QStringLiteral("original"), Compositor::ViewMode::Original}};
        if (args.size() != 1 || !modes.contains(args[0])) {
            *error = QStringLiteral("view takes cutout, overlay, mask or original");
            return false;
        }
        view.setViewMode(modes.value(args[0]));
    } else if (command == QLatin1String("backdrop")) {
        const QString name = args.value(0);
        const QColor colour = name == QLatin1String("checker") ? QColor()
                              : name == QLatin1String("black") ? QColor(Qt::black)
                              : name == QLatin1String("white") ? QColor(Qt::white)
                                                               : QColor(name);
        if (args.size() != 1 || (name != QLatin1String("checker") && !colour.isValid())) {
            *error = QStringLiteral("backdrop takes checker, black, white or #RRGGBB");
            return false;
        }
        view.setBackdrop(colour);
    } else if (command == QLatin1String("frame")) {
        // The canvas exactly as it paints itself.
        if (!need(1))
            return false;
        const QImage frame = view.grab().toImage();
        return writeBytes(args[0], PngCodec::encode(frame), error);
    } else if (command == QLatin1String("save")) {
        // Through the save's own writer, with its choices.
        if (args.isEmpty()) {
            *error = QStringLiteral("save takes PATH [trim] [keep]");
            return false;
        }
        Exporter::Options options;
        options.format = ExportWriter::formatForPath(args[0]).value_or(ExportWriter::Format::Png);
        for (const QString& choice : args.mid(1)) {
            if (choice == QLatin1String("trim")) {
                options.trim = true;
            } else if (choice == QLatin1String("keep")) {
                options.keepColours = true;
            } else {
                *error = QStringLiteral("save takes PATH [trim] [keep]");
                return false;
            }
        }
        // What was typed before it is in the cut; a picture without its mask
        // (none, or one the canvas refused) has no cut to write.
        view.waitUntilIdle();
        if (view.image().isNull() || view.currentMask().isNull()) {
            print(QStringLiteral("save failed: there is no picture with a cut to save"));
            return true;
        }
        Exporter exporter;
        QString outcome;
        bool done = false;
        QObject::connect(&exporter, &Exporter::finished, [&](const QString&, const QString& e, const QString& note) {
            outcome = e.isEmpty() ? (note.isEmpty() ? QStringLiteral("saved") : QStringLiteral("saved: ") + note)
                                  : QStringLiteral("save failed: ") + e;
            done = true;
        });
        exporter.write(view.resultComposer(options.keepColours), args[0], options);
        // Sleeps between events: a polling loop here would take a core from
        // the encoding it waits for.
        while (!done)
            QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        print(outcome);
    } else if (command == QLatin1String("preview")) {
        if (args.size() != 3 || !toNumber(args[0], &v[0]) || !toNumber(args[1], &v[1])) {
            *error = QStringLiteral("preview takes W H PATH");
            return false;
        }
        const Picture preview = view.getBrushPreviewWithSize(QSizeF(v[0], v[1]));
        const QByteArray png = preview ? ImageAction::compressedPNGData(preview) : QByteArray();
        if (png.isEmpty()) {
            print(QStringLiteral("no preview"));
            return true;
        }
        return writeBytes(args[2], png, error);
    } else if (command == QLatin1String("historydir")) {
        print(view.historyDirectory());
    } else if (command == QLatin1String("session")) {
        // The record as a recovering editor would read it from disk.
        if (!need(0))
            return false;
        const auto record = SessionRecord::read(view.historyDirectory());
        print(record ? QString::fromUtf8(record->toJson()) : QStringLiteral("no session"));
    } else {
        *error = QStringLiteral("unknown command: %1").arg(command);
        return false;
    }
    return true;
}
