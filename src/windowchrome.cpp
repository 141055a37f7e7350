#include "windowchrome.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QWindow>

namespace {

class TitleBar : public QWidget
{
    Q_OBJECT

public:
    TitleBar(QWidget *window, const QString &title, bool mainWindow);
    ~TitleBar() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    QPushButton *addButton(const QString &glyph, const QString &toolTip);

    // The top-level window this bar moves; not owned (it owns the bar).
    QWidget *window;
};

class ResizeFilter : public QObject
{
public:
    explicit ResizeFilter(QWidget *target);
    ~ResizeFilter() override;

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *target;
};

TitleBar::TitleBar(QWidget *window, const QString &title, bool mainWindow)
    : QWidget(window), window(window)
{
    setObjectName(QStringLiteral("windowBar"));
    // A plain QWidget paints no style-sheet background without this.
    setAttribute(Qt::WA_StyledBackground);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(14, 4, 6, 4);

    auto *logo = new QLabel(this);
    logo->setPixmap(QPixmap(QStringLiteral(":/assets/logo.png"))
                            .scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    logo->setAttribute(Qt::WA_TransparentForMouseEvents);
    row->addWidget(logo);

    // Set once: the caption does not follow later window title changes.
    // Titles carry panel names, which come from outside: never markup.
    auto *caption = new QLabel(title, this);
    caption->setTextFormat(Qt::PlainText);
    caption->setObjectName(QStringLiteral("windowCaption"));
    caption->setAttribute(Qt::WA_TransparentForMouseEvents);
    row->addWidget(caption);
    row->addStretch(1);

    if (mainWindow) {
        QPushButton *minimise = addButton(QStringLiteral("\u2212"), tr("Свернуть"));
        connect(minimise, &QPushButton::clicked, window, &QWidget::showMinimized);

        QPushButton *maximise =
                addButton(QStringLiteral("\u25A1"), tr("Развернуть / восстановить"));
        connect(maximise, &QPushButton::clicked, window, [window] {
            if (window->isMaximized() || window->isFullScreen())
                window->showNormal();
            else
                window->showMaximized();
        });
    }

    QPushButton *close = addButton(QStringLiteral("\u00D7"),
                                   mainWindow ? tr("Выход из программы") : tr("Закрыть окно"));
    close->setObjectName(QStringLiteral("windowClose"));
    connect(close, &QPushButton::clicked, window, &QWidget::close);
}

TitleBar::~TitleBar() = default;

QPushButton *TitleBar::addButton(const QString &glyph, const QString &toolTip)
{
    auto *button = new QPushButton(glyph, this);
    button->setToolTip(toolTip);
    // The glyph says nothing to assistive tools; the tool tip does.
    button->setAccessibleName(toolTip);
    button->setFixedSize(40, 32);
    // Window buttons never take the keyboard focus: otherwise a dialog would
    // open with focus on its close button and Enter would cancel it.
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoDefault(false);
    layout()->addWidget(button);
    return button;
}

void TitleBar::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // A maximised window is handed to the system too: it decides whether
    // dragging restores it.
    if (QWindow *handle = window->windowHandle(); handle && !window->isFullScreen())
        handle->startSystemMove();
}

void TitleBar::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseDoubleClickEvent(event);
        return;
    }
    // Only windows that offer maximising toggle it; dialogs ignore the double-click.
    if (!window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint) || window->isFullScreen())
        return;
    if (window->isMaximized())
        window->showNormal();
    else
        window->showMaximized();
}

ResizeFilter::ResizeFilter(QWidget *target) : QObject(target), target(target) { }

ResizeFilter::~ResizeFilter() = default;

bool ResizeFilter::eventFilter(QObject *watched, QEvent *event)
{
    const Qt::Edges edges = pressResizeEdges(target, watched, event);
    if (!edges)
        return false;
    // When the system takes over, the press is consumed: the widget under the
    // pointer (even a button in the band) never sees it.
    if (QWindow *handle = target->windowHandle())
        return handle->startSystemResize(edges);
    return false;
}

} // namespace

Qt::Edges resizeEdges(const QPoint &pos, const QSize &size)
{
    Qt::Edges edges;
    if (pos.x() < resizeBand)
        edges |= Qt::LeftEdge;
    if (pos.x() >= size.width() - resizeBand)
        edges |= Qt::RightEdge;
    if (pos.y() < resizeBand)
        edges |= Qt::TopEdge;
    if (pos.y() >= size.height() - resizeBand)
        edges |= Qt::BottomEdge;
    return edges;
}

Qt::Edges pressResizeEdges(const QWidget *target, const QObject *watched, const QEvent *event)
{
    // Every event of the application passes here: the cheap test comes first.
    if (event->type() != QEvent::MouseButtonPress || !watched->isWidgetType())
        return {};
    const auto *widget = static_cast<const QWidget *>(watched);
    if (widget->window() != target || target->isMaximized() || target->isFullScreen())
        return {};
    const auto *press = static_cast<const QMouseEvent *>(event);
    if (press->button() != Qt::LeftButton)
        return {};
    // From the receiver's own coordinates, not the global position: until the
    // window manager's placement reaches Qt, the window's known origin is stale
    // and a click on a button would land "outside" it, on a resize edge.
    const QPoint pos = widget->mapTo(target, press->position().toPoint());
    return resizeEdges(pos, target->size());
}

QWidget *createTitleBar(QWidget *window, const QString &title, bool mainWindow)
{
    return new TitleBar(window, title, mainWindow);
}

void installResizeFilter(QWidget *window)
{
    // Parented to the window, so it leaves the application's filter list with it.
    qApp->installEventFilter(new ResizeFilter(window));
}

#include "windowchrome.moc"
