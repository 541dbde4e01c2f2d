#include "ui/input_meter.h"

#include "ui/xcb_bars.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QEvent>
#include <QKeyEvent>
#include <QList>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QRegion>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <utility>

namespace {

const QColor kGreen(61, 220, 74);
const QColor kYellow(245, 208, 0);
const QColor kRed(255, 59, 48);
constexpr double kYellowFromDb = -12.0;
constexpr double kRedFromDb = -3.0;
// The marks of the scale under the bars.
constexpr std::array<int, 8> kMarks{-60, -48, -36, -24, -12, -6, -3, 0};

QColor zoneColour(double db)
{
    return db > kRedFromDb ? kRed : db > kYellowFromDb ? kYellow : kGreen;
}

// Fills a bar's row from its left end to the pixel `to` in the colour of each zone it reaches.
void fillLevel(QPainter& painter, const QRect& bar, int to, int alpha, int yellowAt, int redAt)
{
    const std::array<std::pair<int, QColor>, 3> zones{
        {{std::min(to, yellowAt), kGreen}, {std::min(to, redAt), kYellow}, {to, kRed}}};
    int from = 0;
    for (const auto& [end, colour] : zones) {
        if (end > from) {
            QColor shade = colour;
            shade.setAlpha(alpha);
            painter.fillRect(QRect(bar.left() + from, bar.top(), end - from, bar.height()), shade);
            from = end;
        }
    }
}

QFont scaleFont(const QFont& base)
{
    QFont font = base;
    font.setBold(false);
    font.setPixelSize(9);
    return font;
}

// The meter on the accessibility bus: a progress bar named "Input level" whose value is the peak in
// dBFS. The value is read when a screen reader asks; the meter sends no event for each of its 30
// changes a second, which would only make a reader chatter.
class AccessibleInputMeter : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleInputMeter(InputMeter* meter) : QAccessibleWidget(meter, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text which) const override
    {
        if (which == QAccessible::Value)
            return QStringLiteral("%1 dB").arg(meter()->peakDb(), 0, 'f', 1);
        return QAccessibleWidget::text(which);
    }

    QVariant currentValue() const override { return meter()->peakDb(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 0.0; }
    QVariant minimumValue() const override { return MeterLevels::floorDb; }
    QVariant minimumStepSize() const override { return 0.1; }

    // The bars are drawn by a child widget of the meter's own; to a screen reader the meter is one
    // control.
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }

private:
    InputMeter* meter() const { return static_cast<InputMeter*>(widget()); }
};

QAccessibleInterface* accessibleInputMeter(const QString& className, QObject* object)
{
    if (className != QLatin1String(InputMeter::staticMetaObject.className()))
        return nullptr;
    auto* meter = qobject_cast<InputMeter*>(object);
    return meter ? new AccessibleInputMeter(meter) : nullptr;
}

} // namespace

// The meter's bars, in front of a picture of the panel beneath them: a change of level repaints this
// rectangle with one copy of the picture and a few fills, however the skin draws the panel.
class MeterBars : public QWidget {
public:
    explicit MeterBars(InputMeter& meter) : QWidget(&meter), m_meter(meter)
    {
        // The picture covers every pixel: nothing beneath needs painting first.
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    // The panel looks different now (skin, font, size): the picture is taken again.
    void forgetBackdrop()
    {
        stopDirect();
        m_backdrop = QPixmap();
        update();
    }

    // The bars' rows for a number of channels: one, or two with a gap between them.
    QList<QRect> rows(int channels) const
    {
        const int count = channels == 1 ? 1 : 2;
        const int gap = 2;
        const int height = (this->height() - gap * (count - 1)) / count;
        QList<QRect> out;
        for (int row = 0; row < count; ++row)
            out.append(QRect(0, row * (height + gap), width(), height));
        return out;
    }
    QList<QRect> rows() const { return rows(m_meter.levels().channels); }

    // Whether another thread may draw changes straight onto the window (drawFromThread): the last
    // change was drawn so, and nothing has moved, hidden or exposed the bars since.
    bool directReady() const
    {
        std::lock_guard lock(m_meter.m_lock);
        return m_ready;
    }
    // The window may show something else where the bars were drawn, or the bars lie elsewhere now:
    // the next change goes through the UI thread. UI thread.
    void stopDirect()
    {
        std::lock_guard lock(m_meter.m_lock);
        m_ready = false;
    }
    // From any thread, with the meter's lock held and directReady(): draws the changed parts of the
    // bars for the meter's levels as the last direct drawing placed them.
    void drawFromThread(const InputMeter::ChangedRows& changed)
    {
        drawChanged(changed, m_meter.m_levels, m_readyWidth, m_readyRows);
        m_drawnAround = true;
    }
    bool readyLocked() const { return m_ready; }
    int readyWidth() const { return m_readyWidth; }
    const QList<QRect>& readyRows() const { return m_readyRows; }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        // The toolkit's pixels of the bars reach the window after this, maybe over changes another
        // thread draws meanwhile: the next change goes through the UI thread, after them.
        stopDirect();
        const qreal ratio = devicePixelRatioF();
        if (m_backdrop.isNull() || m_backdrop.devicePixelRatio() != ratio || m_backdropRows != rows().size())
            takeBackdrop(ratio);
        QPainter painter(this);
        // Only the columns that changed are painted: the picture beneath them, then the bars, which
        // the painter clips to them.
        for (const QRect& part : event->region())
            painter.drawPixmap(part, m_backdrop, QRectF(QRectF(part).topLeft() * ratio, QSizeF(part.size()) * ratio));

        const MeterLevels levels = m_meter.levels();
        const int yellowAt = InputMeter::position(kYellowFromDb, width());
        const int redAt = InputMeter::position(kRedFromDb, width());
        const QList<QRect> bars = rows();
        for (int row = 0; row < bars.size() && row < levels.channels; ++row) {
            const QRect& bar = bars[row];
            const size_t c = size_t(row);
            fillLevel(painter, bar, InputMeter::position(levels.peak[c], width()), levels.showRms ? 120 : 255, yellowAt,
                      redAt);
            if (levels.showRms)
                fillLevel(painter, bar, InputMeter::position(levels.rms[c], width()), 255, yellowAt, redAt);
            if (levels.hold[c] > MeterLevels::floorDb) {
                const int at = std::min(InputMeter::position(levels.hold[c], width()), width() - 2);
                painter.fillRect(QRect(bar.left() + at, bar.top(), 2, bar.height()), zoneColour(levels.hold[c]));
            }
        }
    }

public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // The server shows the toolkit's copy of the window where it was covered, and that copy
        // holds the bars as they were before any drawn straight onto the window: they are painted
        // into it anew.
        if (event->type() == QEvent::Expose && watched == m_watchedWindow.data()) {
            bool drawnAround = false;
            {
                std::lock_guard lock(m_meter.m_lock);
                m_ready = false;
                drawnAround = std::exchange(m_drawnAround, false);
            }
            if (drawnAround)
                update();
            return false;
        }
        // The bars move in the window, or show no longer, when one of the widgets they lie in does.
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::ParentChange:
            if (m_ancestors.contains(watched))
                stopDirect();
            break;
        default:
            break;
        }
        return false;
    }

    // Draws the changed parts of the bars straight onto the window where the server can (X11), from
    // three pictures it keeps of the bars: empty, lit, and lit translucent. False where it cannot:
    // the toolkit then repaints them.
    bool drawDirectly(const InputMeter::ChangedRows& changed)
    {
        m_drewDirectly = false;
        if (m_backdrop.isNull() || m_backdrop.devicePixelRatio() != 1.0 || m_backdropRows != rows().size() ||
            !isVisible())
            return false; // the next paint takes the picture first
        QWindow* handle = window()->windowHandle();
        if (!handle || !handle->isExposed())
            return false;
        if (m_direct && m_direct->window() != uint32_t(handle->winId())) {
            m_direct.reset();
            m_directTried = false; // the window was made anew
        }
        if (!m_direct && !m_directTried) {
            m_directTried = true;
            m_direct = XcbBars::forWidget(*this);
        }
        if (!m_direct || devicePixelRatioF() != 1.0)
            return false;
        if (m_watchedWindow != handle) {
            if (m_watchedWindow)
                m_watchedWindow->removeEventFilter(this);
            m_watchedWindow = handle;
            handle->installEventFilter(this);
        }
        if (m_direct->picturesKey() != m_backdrop.cacheKey() &&
            !m_direct->setPictures(pictures(), m_backdrop.cacheKey()))
            return false;

        // Where the bars lie in the window, and the part of them their parents leave showing.
        QPoint origin;
        QRect visible = rect();
        for (const QWidget* widget = this; !widget->isWindow();) {
            origin += widget->pos();
            widget = widget->parentWidget();
            if (!widget)
                return false;
            visible &= widget->rect().translated(-origin);
        }
        m_direct->place(origin, visible);
        watchAncestors();

        const QList<QRect> bars = rows();
        drawChanged(changed, m_meter.m_levels, width(), bars);
        std::lock_guard lock(m_meter.m_lock);
        m_drawnAround = true;
        m_drewDirectly = true;
        m_ready = true;
        m_readyWidth = width();
        m_readyRows = bars;
        return true;
    }

    // Whether the last change went straight onto the window.
    bool drewDirectly() const { return m_drewDirectly; }

private:
    enum class Picture { Empty, Lit, Translucent };

    // Every widget the bars lie in is watched for moving or hiding them.
    void watchAncestors()
    {
        QList<QPointer<QObject>> now;
        for (QWidget* widget = parentWidget(); widget; widget = widget->isWindow() ? nullptr : widget->parentWidget())
            now.append(widget);
        if (now == m_ancestors)
            return;
        for (const QPointer<QObject>& old : std::as_const(m_ancestors))
            if (old)
                old->removeEventFilter(this);
        m_ancestors = now;
        for (const QPointer<QObject>& widget : std::as_const(m_ancestors))
            widget->installEventFilter(this);
    }

    void drawChanged(const InputMeter::ChangedRows& changed, const MeterLevels& levels, int width,
                     const QList<QRect>& bars)
    {
        for (const QRect& part : changed) {
            if (part.isEmpty())
                continue;
            for (int row = 0; row < bars.size(); ++row) {
                const QRect span = part & bars[row];
                if (span.isEmpty())
                    continue;
                // Solid up to the RMS (or the peak, when there is no RMS), translucent up to the peak,
                // then the empty track; the hold mark over them.
                int solidTo = 0;
                int translucentTo = 0;
                const size_t c = size_t(row);
                if (row < levels.channels) {
                    const int peak = InputMeter::position(levels.peak[c], width);
                    solidTo = levels.showRms ? InputMeter::position(levels.rms[c], width) : peak;
                    translucentTo = std::max(solidTo, peak);
                }
                auto copy = [&](Picture picture, int from, int to) {
                    m_direct->copy(int(picture), span & QRect(from, span.top(), to - from, span.height()));
                };
                copy(Picture::Lit, 0, solidTo);
                copy(levels.showRms ? Picture::Translucent : Picture::Lit, solidTo, translucentTo);
                copy(Picture::Empty, translucentTo, width);
                if (row < levels.channels && levels.hold[c] > MeterLevels::floorDb) {
                    const int at = std::min(InputMeter::position(levels.hold[c], width), width - 2);
                    m_direct->fill(span & QRect(at, bars[row].top(), 2, bars[row].height()),
                                   zoneColour(levels.hold[c]));
                }
            }
        }
        m_direct->flush();
    }

    // The bars' pictures as a paint over the backdrop makes them: every row empty, lit in its
    // zones' colours all along, and lit so behind the RMS (the peak's shade).
    std::array<QImage, XcbBars::pictureCount> pictures() const
    {
        QImage empty(m_backdrop.size(), QImage::Format_RGB32);
        empty.fill(Qt::black);
        {
            QPainter painter(&empty);
            painter.drawPixmap(0, 0, m_backdrop);
        }
        const int yellowAt = InputMeter::position(kYellowFromDb, width());
        const int redAt = InputMeter::position(kRedFromDb, width());
        auto lit = [&](int alpha) {
            QImage picture = empty.copy();
            QPainter painter(&picture);
            for (const QRect& bar : rows())
                fillLevel(painter, bar, width(), alpha, yellowAt, redAt);
            return picture;
        };
        std::array<QImage, XcbBars::pictureCount> out;
        out[size_t(Picture::Empty)] = empty;
        out[size_t(Picture::Lit)] = lit(255);
        out[size_t(Picture::Translucent)] = lit(120);
        return out;
    }

    void takeBackdrop(qreal ratio)
    {
        m_backdrop = QPixmap((QSizeF(size()) * ratio).toSize());
        m_backdrop.setDevicePixelRatio(ratio);
        m_backdrop.fill(Qt::transparent);
        // The panel as the skin paints it, without this child: its background and frame.
        m_meter.render(&m_backdrop, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
        QPainter painter(&m_backdrop);
        const QList<QRect> bars = rows();
        for (const QRect& bar : bars)
            painter.fillRect(bar, QColor(0, 0, 0, 96));
        m_backdropRows = int(bars.size());
    }

    InputMeter& m_meter;
    QPixmap m_backdrop;
    int m_backdropRows = 0;
    std::unique_ptr<XcbBars> m_direct;
    bool m_directTried = false;
    bool m_drewDirectly = false;
    QPointer<QWindow> m_watchedWindow;
    QList<QPointer<QObject>> m_ancestors;
    // The meter's lock guards these: another thread draws while m_ready holds, with the width and
    // rows the bars had when it was set.
    bool m_drawnAround = false; // drawn onto the window since the last expose
    bool m_ready = false;
    int m_readyWidth = 0;
    QList<QRect> m_readyRows;
};

InputMeter::InputMeter(QWidget* parent) : SkinPanel(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(accessibleInputMeter);
        return true;
    }();
    Q_UNUSED(installed);
    // An interface made while the panel was being constructed came from Qt's own factory (a label):
    // it goes, so that the next question makes the meter's.
    QAccessibleInterface* seen = QAccessible::queryAccessibleInterface(this);
    if (seen && !dynamic_cast<AccessibleInputMeter*>(seen))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(seen));
    setAccessibleName(QStringLiteral("Input level"));
    setClipped(false);
    setToolTip(QStringLiteral("Input level: peak and RMS of each channel, in dBFS"));
    m_bars = new MeterBars(*this);
    m_bars->setObjectName(QStringLiteral("bars"));
    placeBars();
}

void InputMeter::setClipped(bool clipped)
{
    const QString peak = QStringLiteral("Peak of the sound arriving from the recording source, in dBFS");
    setAccessibleDescription(clipped ? peak + QStringLiteral("; clipped: 3 or more full-scale samples in a row")
                                     : peak);
}

MeterLevels InputMeter::levels() const
{
    std::lock_guard lock(m_lock);
    return m_levels;
}

double InputMeter::peakDb() const
{
    const MeterLevels shown = levels();
    double loudest = MeterLevels::floorDb;
    for (int c = 0; c < std::min(shown.channels, MeterLevels::maxChannels); ++c)
        loudest = std::max(loudest, shown.peak[size_t(c)]);
    return std::round(loudest * 10.0) / 10.0;
}

int InputMeter::position(double db, int width)
{
    const double clamped = std::clamp(db, MeterLevels::floorDb, 0.0);
    return int(std::lround((clamped - MeterLevels::floorDb) / -MeterLevels::floorDb * width));
}

QRect InputMeter::barArea() const
{
    const QRect inside = contentsRect();
    const int scaleHeight = QFontMetrics(scaleFont(font())).height();
    const int labels = QFontMetrics(font()).horizontalAdvance(u'R') + 4;
    // Half a mark's text sticks out past each end of the bar.
    const int right = QFontMetrics(scaleFont(font())).horizontalAdvance(QStringLiteral("0")) / 2 + 1;
    return QRect(inside.left() + labels, inside.top(), std::max(0, inside.width() - labels - right),
                 std::max(0, inside.height() - scaleHeight - 3));
}

void InputMeter::placeBars()
{
    m_bars->setGeometry(barArea());
    m_bars->forgetBackdrop();
}

void InputMeter::resizeEvent(QResizeEvent* event)
{
    SkinPanel::resizeEvent(event);
    placeBars();
}

void InputMeter::changeEvent(QEvent* event)
{
    SkinPanel::changeEvent(event);
    switch (event->type()) {
    case QEvent::StyleChange:
    case QEvent::FontChange:
    case QEvent::PaletteChange:
    case QEvent::ContentsRectChange:
        placeBars();
        break;
    default:
        break;
    }
}

std::array<int, 3 * MeterLevels::maxChannels + 2> InputMeter::footprint(const MeterLevels& levels, int width)
{
    std::array<int, 3 * MeterLevels::maxChannels + 2> pixels{};
    pixels[0] = levels.channels;
    pixels[1] = levels.showRms ? 1 : 0;
    for (size_t c = 0; c < size_t(MeterLevels::maxChannels); ++c) {
        pixels[2 + 3 * c] = position(levels.peak[c], width);
        pixels[3 + 3 * c] = position(levels.hold[c], width);
        pixels[4 + 3 * c] = levels.showRms ? position(levels.rms[c], width) : -1;
    }
    return pixels;
}

void InputMeter::setLevels(const MeterLevels& levels)
{
    const auto before = footprint(m_levels, m_bars->width());
    const auto after = footprint(levels, m_bars->width());
    const bool rowsChanged = (levels.channels == 1) != (m_levels.channels == 1);
    {
        std::lock_guard lock(m_lock);
        m_levels = levels;
    }
    if (layoutChanges(before, after)) {
        m_bars->stopDirect();
        if (rowsChanged)
            update(); // the channels' letters
        m_bars->update();
        return;
    }
    if (before == after) {
        // Nothing to draw; but once the bars can be drawn straight onto the window again (after a
        // paint, a move or an expose), the meter's thread may take over in silence too.
        if (!m_bars->directReady())
            m_bars->drawDirectly({});
        return;
    }
    // Each bar's row repaints at once: the meter changes 30 times a second, and a posted update
    // would cost a second pass of the event loop each time.
    const ChangedRows changed = changedPixels(before, after, m_bars->width(), m_bars->rows());
    QRegion region;
    for (const QRect& part : changed)
        region += part;
    if (!region.isEmpty() && !m_bars->drawDirectly(changed))
        m_bars->repaint(region);
}

bool InputMeter::showLevelsDirectly(const MeterLevels& levels)
{
    std::lock_guard lock(m_lock);
    if (!m_bars->readyLocked())
        return false;
    const int width = m_bars->readyWidth();
    const auto before = footprint(m_levels, width);
    const auto after = footprint(levels, width);
    // The panel's letters and the bars are painted anew, by the window's thread.
    if (layoutChanges(before, after))
        return false;
    m_levels = levels;
    if (before == after)
        return true;
    m_bars->drawFromThread(changedPixels(before, after, width, m_bars->readyRows()));
    return true;
}

bool InputMeter::showsDirectly() const
{
    return m_bars->directReady();
}

InputMeter::ChangedRows InputMeter::changedPixels(const Footprint& before, const Footprint& after, int width,
                                                  const QList<QRect>& rows)
{
    // Each bar's row changes from the leftmost to the rightmost pixel that any of its marks (peak,
    // RMS, the 2 pixels of the hold) occupied before or occupies now.
    ChangedRows changed{};
    for (int row = 0; row < int(rows.size()) && row < MeterLevels::maxChannels; ++row) {
        const size_t at = 2 + 3 * size_t(row);
        int from = width;
        int to = -1;
        for (size_t i = at; i < at + 3; ++i) {
            if (before[i] == after[i])
                continue;
            for (const int x : {before[i], after[i]}) {
                if (x < 0)
                    continue;
                from = std::min(from, x - 1);
                to = std::max(to, x + 2);
            }
        }
        if (to >= from)
            changed[size_t(row)] =
                QRect(std::max(0, from), rows[row].top(), to - std::max(0, from) + 1, rows[row].height());
    }
    return changed;
}

bool InputMeter::drawsDirectly() const
{
    return m_bars->drewDirectly();
}

void InputMeter::paintEvent(QPaintEvent* event)
{
    // The skin's frame and background.
    SkinPanel::paintEvent(event);
    // Under the bars: only the picture the bars are painted over is being taken.
    if (m_bars->geometry().contains(event->rect()))
        return;

    QPainter painter(this);
    const QRect area = m_bars->geometry();
    if (area.width() <= 0 || area.height() <= 0)
        return;
    const QColor ink = palette().color(foregroundRole());
    const QList<QRect> rows = m_bars->rows();
    if (rows.size() == 2) {
        painter.setFont(font());
        painter.setPen(ink);
        for (int row = 0; row < 2; ++row)
            painter.drawText(QRect(contentsRect().left(), area.top() + rows[row].top(),
                                   area.left() - contentsRect().left(), rows[row].height()),
                             Qt::AlignCenter, row == 0 ? QStringLiteral("L") : QStringLiteral("R"));
    }

    // The scale: a mark and its figure for each step, in the skin's text colour.
    const QFont small = scaleFont(font());
    painter.setFont(small);
    const QFontMetrics metrics(small);
    const int marksTop = area.bottom() + 1;
    for (const int mark : kMarks) {
        const int x = area.left() + position(mark, area.width());
        painter.fillRect(QRect(x, marksTop, 1, 2), ink);
        const QString figure = QString::number(mark);
        const int width = metrics.horizontalAdvance(figure);
        painter.setPen(ink);
        painter.drawText(QRect(x - width / 2 - 1, marksTop + 2, width + 2, metrics.height()), Qt::AlignCenter, figure);
    }
}

ClipLight::ClipLight(QWidget* parent) : SkinButton(QStringLiteral("Clip"), parent)
{
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("Clip"));
    setToolTip(QStringLiteral("Lights when the sound arriving reaches full scale, 3 samples in a row, idle or "
                              "recording; click it, or press Space or Enter, to put it out"));
    // However it is asked to (a screen reader's toggle included), only the program lights it.
    connect(this, &QAbstractButton::toggled, this, [this](bool on) {
        if (on && !m_lighting)
            setChecked(false);
        else
            showLit(on);
    });
}

void ClipLight::light()
{
    m_lighting = true;
    setChecked(true);
    m_lighting = false;
}

void ClipLight::putOut()
{
    setChecked(false);
}

void ClipLight::nextCheckState()
{
    setChecked(false);
}

void ClipLight::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        if (!event->isAutoRepeat())
            click();
        event->accept();
        return;
    }
    SkinButton::keyPressEvent(event);
}

void ClipLight::showLit(bool lit)
{
    setAccessibleDescription(lit ? QStringLiteral("clipped") : QString());
    update();
}

void ClipLight::paintEvent(QPaintEvent* event)
{
    SkinButton::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int diameter = 10;
    const QRectF lamp(8, (height() - diameter) / 2.0, diameter, diameter);
    if (isLit()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 70, 40, 110));
        painter.drawEllipse(lamp.adjusted(-3, -3, 3, 3));
    }
    painter.setPen(QPen(QColor(0, 0, 0, 170), 1));
    painter.setBrush(isLit() ? QColor(255, 48, 32) : QColor(88, 24, 20));
    painter.drawEllipse(lamp);
    if (isLit()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 230, 220, 200));
        painter.drawEllipse(QRectF(lamp.left() + 2.5, lamp.top() + 2, 3, 3));
    }
}
