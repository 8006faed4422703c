// The plot view: the drawing of the current plot and what the user does with it. Zoom,
// pan and the axis dialog set the plot model's view ranges; the pointer is read back into
// data values through the layout the last pass left.
#include "app/views.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QWheelEvent>

#include <cmath>

#include "analysis/driver.h"
#include "analysis/preview.h"
#include "analysis/results.h"
#include "lang/data.h"
#include "lang/symbols.h"
#include "plot/export.h"
#include "plot/plotmodel.h"
#include "plot/surface.h"

namespace {

constexpr double ZOOM_STEP = 0.5;           // range kept by one zoom in
constexpr double WHEEL_NOTCH = 120.0;       // angle delta of one wheel notch
constexpr double PAN_STEP = 0.1;            // share of the box one arrow key moves
constexpr double MARK_REACH = 1.5;          // page units within which the pointer finds a mark
constexpr int DRAG_START = 3;               // pixels before a press becomes a drag
constexpr const char* SVG_MIME = "image/svg+xml";

QString number(double value)
{
    return QString::number(value, 'g', 7);
}

bool plotShown()
{
    return (analysis.analysisCompleted || previewShown()) && plotModel.currentPlot;
}

// The small dialog of the axis ranges.
class AxisDialog : public QDialog {
public:
    explicit AxisDialog(QWidget* parent) : QDialog(parent)
    {
        setWindowTitle(QStringLiteral("Axis ranges"));
        const PlotViewRange& view = plotModel.view;
        const double values[4] = {view.xLow, view.xHigh, view.yLow, view.yHigh};
        QGridLayout* grid = new QGridLayout;
        grid->addWidget(new QLabel(QStringLiteral("From")), 0, 1);
        grid->addWidget(new QLabel(QStringLiteral("To")), 0, 2);
        for (int axis = 0; axis < 2; axis++) {
            grid->addWidget(new QLabel(axis == 0 ? QStringLiteral("&X axis:") : QStringLiteral("&Y axis:")), axis + 1, 0);
            for (int end = 0; end < 2; end++) {
                boxes[2 * axis + end] = new QLineEdit(number(values[2 * axis + end]));
                grid->addWidget(boxes[2 * axis + end], axis + 1, end + 1);
            }
            logs[axis] = new QCheckBox(QStringLiteral("Log scale"));
            logs[axis]->setChecked(axis == 0 ? view.logX : view.logY);
            grid->addWidget(logs[axis], axis + 1, 3);
            static_cast<QLabel*>(grid->itemAtPosition(axis + 1, 0)->widget())->setBuddy(boxes[2 * axis]);
        }
        QDialogButtonBox* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        connect(buttons, &QDialogButtonBox::accepted, this, &AxisDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &AxisDialog::reject);
        QVBoxLayout* layout = new QVBoxLayout(this);
        layout->addLayout(grid);
        layout->addWidget(buttons);
    }

    void accept() override
    {
        double values[4];
        for (int i = 0; i < 4; i++) {
            bool ok = false;
            values[i] = boxes[i]->text().trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(values[i])) {
                complain(QStringLiteral("\"%1\" is not a number.").arg(boxes[i]->text()), i);
                return;
            }
        }
        for (int axis = 0; axis < 2; axis++) {
            if (!(values[2 * axis] < values[2 * axis + 1])) {
                complain(QStringLiteral("The start of an axis must be below its end."), 2 * axis);
                return;
            }
            if (logs[axis]->isChecked() && !(values[2 * axis] > 0.0)) {
                complain(QStringLiteral("A log axis needs a range above zero."), 2 * axis);
                return;
            }
        }
        PlotViewRange& view = plotModel.view;
        view = PlotViewRange{true, values[0], values[1], values[2], values[3], logs[0]->isChecked(),
                             logs[1]->isChecked()};
        QDialog::accept();
    }

    QLineEdit* boxes[4];        // x from, x to, y from, y to
    QCheckBox* logs[2];         // x, y

private:
    void complain(const QString& text, int box)
    {
        QMessageBox::warning(this, windowTitle(), text);
        boxes[box]->setFocus();
        boxes[box]->selectAll();
    }
};

}  // namespace

CPlotView::CPlotView(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void CPlotView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    viewsDrawPlot(&painter, SURFACE_WINDOW, rect(), logicalDpiX(), logicalDpiY());
    if (!plotLayout.valid)
        return;
    painter.setRenderHint(QPainter::Antialiasing, true);
    const double toX = width() / plotLayout.pageWidth;
    const double toY = height() / plotLayout.pageHeight;
    const bool marked = selected >= 0 && selectedIn == plotModel.currentPlot &&
                        2 * static_cast<size_t>(selected) + 1 < plotLayout.marks.size();
    if (marked && !std::isnan(plotLayout.marks[2 * selected])) {
        const QPointF centre(plotLayout.marks[2 * selected] * toX, height() - plotLayout.marks[2 * selected + 1] * toY);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(centre, 7.0, 7.0);
    }
    if (boxing) {
        QColor fill = palette().color(QPalette::Highlight);
        fill.setAlpha(60);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1.0, Qt::DashLine));
        painter.setBrush(fill);
        painter.drawRect(QRectF(pressPoint, lastPoint).normalized());
    }
}

QPointF CPlotView::pagePoint(const QPointF& point) const
{
    // The window's mapping: the page spans the widget, y upward from its bottom edge.
    return QPointF(point.x() / width() * plotLayout.pageWidth,
                   (height() - point.y()) / height() * plotLayout.pageHeight);
}

int CPlotView::markAt(const QPointF& point) const
{
    if (!plotLayout.valid || !plotShown())
        return -1;
    const QPointF page = pagePoint(point);
    return plotNearestMark(plotLayout, page.x(), page.y(), MARK_REACH);
}

QString CPlotView::observationText(int i)
{
    if (i < 0 || i >= observationCount || !analysis.observed || !analysis.predicted)
        return QString();
    QString text = QStringLiteral("Observation %1").arg(i + 1);
    const double* row = observations + static_cast<long>(i) * inputVariableCount;
    for (int j = 0; j < inputVariableCount; j++)
        if (inputVariables[j])
            text += QStringLiteral("\n%1 = %2").arg(QString::fromUtf8(inputVariables[j]->name), number(row[j]));
    text += QStringLiteral("\nObserved: %1\nPredicted: %2\nResidual: %3")
                .arg(number(analysis.observed[i]), number(analysis.predicted[i]),
                     number(analysis.observed[i] - analysis.predicted[i]));
    text += QStringLiteral("\nWeight: %1").arg(results.weights ? number(results.weights[i]) : QStringLiteral("1"));
    return text;
}

void CPlotView::zoomIn()
{
    if (!plotShown())
        return;
    plotViewZoom(ZOOM_STEP, (plotLayout.areaLeft + plotLayout.boxRight) / 2.0,
                 (plotLayout.areaBottom + plotLayout.boxTop) / 2.0);
    update();
}

void CPlotView::zoomOut()
{
    if (!plotShown())
        return;
    plotViewZoom(1.0 / ZOOM_STEP, (plotLayout.areaLeft + plotLayout.boxRight) / 2.0,
                 (plotLayout.areaBottom + plotLayout.boxTop) / 2.0);
    update();
}

void CPlotView::resetView()
{
    plotViewReset();
    update();
}

void CPlotView::editAxes()
{
    if (!plotShown())
        return;
    plotViewStart();
    const PlotViewRange before = plotModel.view;
    AxisDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        plotModel.view = before;
    update();
}

void CPlotView::copyToClipboard()
{
    if (!plotShown())
        return;
    const int w = std::max(1, width());
    const int h = std::max(1, height());
    std::string png;
    std::string svg;
    if (!exportEncode(plotModel.currentPlot, PLOT_FILE_PNG, w, h, PLOT_RESOLUTION_DEFAULT, &png) ||
        !exportEncode(plotModel.currentPlot, PLOT_FILE_SVG, w, h, PLOT_RESOLUTION_DEFAULT, &svg))
        return;
    QMimeData* data = new QMimeData;
    data->setImageData(QImage::fromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size())));
    data->setData(QString::fromLatin1(SVG_MIME), QByteArray(svg.data(), static_cast<qsizetype>(svg.size())));
    QGuiApplication::clipboard()->setMimeData(data);
    update();   // the drawing for the clipboard replaced the layout the view reads
}

void CPlotView::wheelEvent(QWheelEvent* event)
{
    const double notches = event->angleDelta().y() / WHEEL_NOTCH;
    if (!plotShown() || notches == 0.0 || !plotLayout.valid) {
        event->ignore();
        return;
    }
    const QPointF page = pagePoint(event->position());
    plotViewZoom(std::pow(ZOOM_STEP, notches), page.x(), page.y());
    update();
}

void CPlotView::mousePressEvent(QMouseEvent* event)
{
    pressPoint = lastPoint = event->position();
    const bool box = event->button() == Qt::RightButton ||
                     (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier));
    boxing = box && plotShown();
    panning = false;
    if (!box && event->button() == Qt::LeftButton && plotShown()) {
        plotViewStart();
        panning = true;
    }
}

void CPlotView::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF point = event->position();
    if (plotLayout.valid && plotShown()) {
        const QPointF page = pagePoint(point);
        if (page.x() >= plotLayout.areaLeft && page.x() <= plotLayout.boxRight && page.y() >= plotLayout.areaBottom &&
            page.y() <= plotLayout.boxTop)
            Q_EMIT pointerText(QStringLiteral("x = %1   y = %2")
                                   .arg(number(plotLayoutDataX(plotLayout, page.x())),
                                        number(plotLayoutDataY(plotLayout, page.y()))));
        else
            Q_EMIT pointerText(QString());
    }
    if (boxing) {
        lastPoint = point;
        update();
    } else if (panning && (point - pressPoint).manhattanLength() >= DRAG_START) {
        // Each step moves the view by what the pointer moved since the last one.
        const QPointF from = pagePoint(lastPoint);
        const QPointF to = pagePoint(point);
        plotViewPan(from.x() - to.x(), from.y() - to.y());
        lastPoint = point;
        update();
    }
}

void CPlotView::mouseReleaseEvent(QMouseEvent* event)
{
    const QPointF point = event->position();
    const bool moved = (point - pressPoint).manhattanLength() >= DRAG_START;
    if (boxing) {
        boxing = false;
        if (moved) {
            const QPointF a = pagePoint(pressPoint);
            const QPointF b = pagePoint(point);
            plotViewBox(a.x(), a.y(), b.x(), b.y());
        }
        update();
        return;
    }
    if (panning && !moved) {
        const int mark = markAt(point);
        if (mark >= 0) {
            selected = mark;
            selectedIn = plotModel.currentPlot;
            Q_EMIT observationChosen(mark);
            update();
        }
    }
    panning = false;
}

void CPlotView::mouseDoubleClickEvent(QMouseEvent*)
{
    resetView();
}

void CPlotView::keyPressEvent(QKeyEvent* event)
{
    if (!plotShown() || !plotLayout.valid) {
        QWidget::keyPressEvent(event);
        return;
    }
    const double across = (plotLayout.boxRight - plotLayout.areaLeft) * PAN_STEP;
    const double up = (plotLayout.boxTop - plotLayout.areaBottom) * PAN_STEP;
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal: zoomIn(); break;
    case Qt::Key_Minus: zoomOut(); break;
    case Qt::Key_Home:
    case Qt::Key_0: resetView(); break;
    case Qt::Key_Left: plotViewPan(-across, 0.0); update(); break;
    case Qt::Key_Right: plotViewPan(across, 0.0); update(); break;
    case Qt::Key_Up: plotViewPan(0.0, up); update(); break;
    case Qt::Key_Down: plotViewPan(0.0, -up); update(); break;
    default: QWidget::keyPressEvent(event); break;
    }
}

bool CPlotView::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        QHelpEvent* help = static_cast<QHelpEvent*>(event);
        const int mark = markAt(help->pos());
        if (mark >= 0)
            QToolTip::showText(help->globalPos(), observationText(mark), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}
