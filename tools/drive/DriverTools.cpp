// The scenario driver's commands for the tool choice, the colour tools and
// the Subject and Box tools.
#include "Driver.h"

#include "canvas/ZRImageCutView.h"

#include <QColor>

#include <cmath>

namespace {

const char* toolName(CutTool tool)
{
    switch (tool) {
    case CutTool::Brush:
        return "brush";
    case CutTool::Colour:
        return "colour";
    case CutTool::Background:
        return "background";
    case CutTool::Box:
        return "box";
    }
    return "brush";
}

const char* subjectStateName(SubjectTool::State state)
{
    switch (state) {
    case SubjectTool::State::Idle:
        return "idle";
    case SubjectTool::State::Working:
        return "working";
    case SubjectTool::State::Ready:
        return "ready";
    case SubjectTool::State::Failed:
        return "failed";
    }
    return "idle";
}

} // namespace

std::optional<bool> Driver::dispatchTools(const QString& command, const QStringList& args, QString* error)
{
    ZRImageCutView& view = *m_view;
    ColourTool& tools = view.colourTool();
    auto choice = [&](const char* on, const char* off, bool* out) {
        if (args.size() != 1 || (args[0] != QLatin1String(on) && args[0] != QLatin1String(off))) {
            *error = QStringLiteral("%1 takes %2 or %3").arg(command, QLatin1String(on), QLatin1String(off));
            return false;
        }
        *out = args[0] == QLatin1String(on);
        return true;
    };
    bool on = false;
    if (command == QLatin1String("tool")) {
        const QString name = args.value(0);
        for (const CutTool tool : {CutTool::Brush, CutTool::Colour, CutTool::Background, CutTool::Box}) {
            if (args.size() == 1 && name == QLatin1String(toolName(tool))) {
                view.setTool(tool);
                return true;
            }
        }
        *error = QStringLiteral("tool takes brush, colour, background or box");
        return false;
    }
    if (command == QLatin1String("subject")) {
        if (!args.isEmpty()) {
            *error = QStringLiteral("subject takes nothing");
            return false;
        }
        view.applySubject();
        return true;
    }
    if (command == QLatin1String("subjectonopen")) {
        if (!choice("on", "off", &on))
            return false;
        view.subjectTool().setFindsOnOpen(on);
        return true;
    }
    if (command == QLatin1String("box")) {
        // A drag with the Box tool, through the canvas's event delivery.
        double v[4];
        bool ok = args.size() == 4 || (args.size() == 5 && args[4] == QLatin1String("add"));
        for (int i = 0; ok && i < 4; ++i) {
            v[i] = args[i].toDouble(&ok);
            ok = ok && std::isfinite(v[i]);
        }
        if (!ok) {
            *error = QStringLiteral("box takes X1 Y1 X2 Y2 [add]");
            return false;
        }
        view.setTool(CutTool::Box);
        const Qt::KeyboardModifiers held = m_held;
        if (args.size() == 5)
            m_held |= Qt::ShiftModifier;
        sendMouse(QEvent::MouseButtonPress, {v[0], v[1]}, true);
        m_held = held;
        sendMouse(QEvent::MouseMove, {v[2], v[3]}, true);
        sendMouse(QEvent::MouseButtonRelease, {v[2], v[3]}, false);
        return true;
    }
    if (command == QLatin1String("tolerance")) {
        bool ok = false;
        const double value = args.size() == 1 ? args[0].toDouble(&ok) : 0;
        if (!ok || !std::isfinite(value) || value < 0 || value > 100) {
            *error = QStringLiteral("tolerance takes a number from 0 to 100");
            return false;
        }
        tools.setTolerance(value);
        return true;
    }
    if (command == QLatin1String("contiguous")) {
        if (!choice("on", "off", &on))
            return false;
        tools.setContiguous(on);
        return true;
    }
    if (command == QLatin1String("sampling")) {
        if (!choice("continuous", "once", &on))
            return false;
        tools.setSamplesContinuously(on);
        return true;
    }
    if (command == QLatin1String("protect")) {
        if (args.size() == 1 && args[0] == QLatin1String("none")) {
            tools.setProtectedColour(std::nullopt);
            return true;
        }
        bool okX = false, okY = false;
        const double x = args.size() == 2 ? args[0].toDouble(&okX) : 0;
        const double y = args.size() == 2 ? args[1].toDouble(&okY) : 0;
        if (!okX || !okY || !std::isfinite(x) || !std::isfinite(y)) {
            *error = QStringLiteral("protect takes X Y (canvas points) or none");
            return false;
        }
        if (!tools.colours()) {
            *error = QStringLiteral("the picture's colours are not ready yet (wait first)");
            return false;
        }
        view.protectColourAt({x, y});
        return true;
    }
    return std::nullopt;
}

QString Driver::toolState() const
{
    const ColourTool& tools = m_view->colourTool();
    const std::optional<LabColour> protect = tools.protectedColour();
    const SubjectTool& subject = m_view->subjectTool();
    return QStringLiteral("\"tool\":\"%1\",\"tolerance\":%2,\"contiguous\":%3,\"sampling\":\"%4\","
                          "\"protected\":%5,\"selecting\":%6,\"subject\":\"%7\","
                          "\"subjectProbability\":%8,\"boxing\":%9")
        .arg(QLatin1String(toolName(tools.tool())))
        .arg(tools.regionActive() ? tools.regionTolerance() : tools.tolerance())
        .arg(tools.contiguous() ? "true" : "false")
        .arg(tools.samplesContinuously() ? "continuous" : "once")
        .arg(protect ? QStringLiteral("\"%1\"").arg(QColor(protect->toRgb()).name()) : QStringLiteral("null"))
        .arg(tools.regionActive() ? "true" : "false")
        .arg(QLatin1String(subjectStateName(subject.state())))
        .arg(subject.probabilityReady() ? "true" : "false")
        .arg(subject.boxActive() ? "true" : "false");
}
