// The brush panel's tool choice and the colour tools' controls: what they
// set on the canvas, what they show of it, and what is remembered.
#include "app/ViewController.h"

#include "canvas/ZRImageCutView.h"
#include "ui_ViewController.h"

#include <QSettings>

#include <algorithm>
#include <cmath>

namespace {

const QString kTool = QStringLiteral("tools/tool");
const QString kTolerance = QStringLiteral("tools/tolerance");
const QString kContiguous = QStringLiteral("tools/contiguous");
const QString kSamplesOnce = QStringLiteral("tools/samplesOnce");
const QString kSubjectOnOpen = QStringLiteral("tools/subjectOnOpen");

} // namespace

void ViewController::setupTools()
{
    ZRImageCutView* canvas = m_ui->viCut;
    const std::pair<QToolButton*, CutTool> choices[] = {{m_ui->btnToolBrush, CutTool::Brush},
                                                        {m_ui->btnToolColour, CutTool::Colour},
                                                        {m_ui->btnToolBackground, CutTool::Background},
                                                        {m_ui->btnToolBox, CutTool::Box}};
    for (const auto& [button, tool] : choices) {
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        button->setStyleSheet(QStringLiteral(
            "QToolButton { color: #c9d1dc; background: #232934; border: 1px solid #313948;"
            " border-radius: 4px; padding: 4px 2px; }"
            "QToolButton:checked { color: #ffffff; background: #2f5f9e; border-color: #3f78c2; }"));
        connect(button, &QToolButton::toggled, this, [this, canvas, tool = tool](bool on) {
            if (!on || canvas->colourTool().tool() == tool)
                return;
            canvas->setTool(tool);
            QSettings().setValue(kTool, int(tool));
            showToolSettings();
        });
    }
    connect(m_ui->sldTolerance, &QSlider::valueChanged, this, [this, canvas](int value) {
        // The slider follows a drag's tolerance too; only the user's own moves set it.
        if (!canvas->colourTool().regionActive()) {
            canvas->colourTool().setTolerance(value);
            rememberLater(kTolerance, value);
        }
        m_ui->lblToleranceValue->setText(QString::number(value));
    });
    connect(m_ui->chkContiguous, &QCheckBox::toggled, this, [canvas](bool on) {
        canvas->colourTool().setContiguous(on);
        QSettings().setValue(kContiguous, on);
    });
    connect(m_ui->cmbSampling, &QComboBox::currentIndexChanged, this, [canvas](int index) {
        canvas->colourTool().setSamplesContinuously(index == 0);
        QSettings().setValue(kSamplesOnce, index == 1);
    });
    connect(m_ui->btnProtect, &QToolButton::clicked, this, [this, canvas] {
        canvas->colourTool().setProtectedColour(std::nullopt);
        showToolSettings();
    });

    const QSettings settings;
    m_ui->sldTolerance->setValue(settings.value(kTolerance, 32).toInt());
    m_ui->lblToleranceValue->setText(QString::number(m_ui->sldTolerance->value()));
    canvas->colourTool().setTolerance(m_ui->sldTolerance->value());
    m_ui->chkContiguous->setChecked(settings.value(kContiguous, true).toBool());
    m_ui->cmbSampling->setCurrentIndex(settings.value(kSamplesOnce, false).toBool() ? 1 : 0);
    const int tool = std::clamp(settings.value(kTool, 0).toInt(), 0, int(CutTool::Box));
    canvas->setTool(CutTool(tool));
    showToolSettings();
    setupSubject();
}

void ViewController::setupSubject()
{
    ZRImageCutView* canvas = m_ui->viCut;
    m_ui->btnSubject->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_ui->btnSubject->setStyleSheet(QStringLiteral(
        "QToolButton { color: #ffffff; background: #2f5f9e; border: 1px solid #3f78c2;"
        " border-radius: 4px; padding: 5px 2px; }"
        "QToolButton:pressed { background: #3f78c2; }"));
    // Held: the subject shows as the overlay's tint; released over the button: applied.
    connect(m_ui->btnSubject, &QToolButton::pressed, this, [canvas] { canvas->showSubject(true); });
    connect(m_ui->btnSubject, &QToolButton::released, this, [canvas] { canvas->showSubject(false); });
    connect(m_ui->btnSubject, &QToolButton::clicked, this, [canvas] { canvas->applySubject(); });
    connect(m_ui->chkSubjectOnOpen, &QCheckBox::toggled, this, [canvas](bool on) {
        canvas->subjectTool().setFindsOnOpen(on);
        QSettings().setValue(kSubjectOnOpen, on);
        if (on)
            canvas->subjectTool().prepare();
    });
    const bool onOpen = QSettings().value(kSubjectOnOpen, true).toBool();
    m_ui->chkSubjectOnOpen->setChecked(onOpen);
    canvas->subjectTool().setFindsOnOpen(onOpen);
    showSubjectState();
}

void ViewController::cutViewDidReportSubject(ZRImageCutView* view, const QString& status)
{
    (void)view;
    showSubjectState();
    if (!status.isEmpty())
        showStatus(status);
}

void ViewController::showSubjectState()
{
    const SubjectTool& subject = m_ui->viCut->subjectTool();
    QString text = tr("Subject");
    if (subject.state() == SubjectTool::State::Working)
        text = tr("Subject (finding it: %1 %)").arg(int(std::lround(subject.progress() * 100)));
    if (m_ui->btnSubject->text() != text)
        m_ui->btnSubject->setText(text);
}

void ViewController::cutViewDidChangeToolSettings(ZRImageCutView* view)
{
    const ColourTool& tools = view->colourTool();
    if (tools.regionActive()) {
        // A drag reports every move: only the tolerance changes then.
        m_ui->sldTolerance->setValue(int(std::lround(tools.regionTolerance())));
        return;
    }
    QSettings().setValue(kTool, int(tools.tool())); // a key may have chosen it
    showToolSettings();
}

void ViewController::showToolSettings()
{
    const ColourTool& tools = m_ui->viCut->colourTool();
    const CutTool tool = tools.tool();
    QToolButton* chosen = tool == CutTool::Colour       ? m_ui->btnToolColour
                          : tool == CutTool::Background ? m_ui->btnToolBackground
                          : tool == CutTool::Box        ? m_ui->btnToolBox
                                                        : m_ui->btnToolBrush;
    chosen->setChecked(true);
    // While a selection is dragged, the slider shows its tolerance.
    const double tolerance = tools.regionActive() ? tools.regionTolerance() : tools.tolerance();
    m_ui->sldTolerance->setValue(int(std::lround(tolerance)));

    const bool colour = tool == CutTool::Colour, background = tool == CutTool::Background;
    for (QWidget* w : {static_cast<QWidget*>(m_ui->lblTolerance), static_cast<QWidget*>(m_ui->lblToleranceValue),
                       static_cast<QWidget*>(m_ui->sldTolerance)})
        w->setVisible(colour || background);
    m_ui->chkContiguous->setVisible(colour);
    for (QWidget* w : {static_cast<QWidget*>(m_ui->lblSampling), static_cast<QWidget*>(m_ui->cmbSampling),
                       static_cast<QWidget*>(m_ui->lblProtect), static_cast<QWidget*>(m_ui->btnProtect)})
        w->setVisible(background);

    const std::optional<LabColour> protect = tools.protectedColour();
    m_ui->btnProtect->setText(protect ? QString() : tr("None"));
    m_ui->btnProtect->setStyleSheet(
        protect ? QStringLiteral("QToolButton { background: %1; border: 1px solid #c9d1dc; border-radius: 3px; }")
                      .arg(QColor(protect->toRgb()).name())
                : QStringLiteral("QToolButton { color: #8a94a3; background: #232934; border: 1px solid #313948;"
                                 " border-radius: 3px; }"));
}
