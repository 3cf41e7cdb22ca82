#include "app/MainWindow.h"

#include "app/ContentView.h"
#include "app/HelpPages.h"
#include "app/LogWindow.h"
#include "formats/GeoFile.h"
#include "places/SavedPlaces.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QSettings>

MainWindow::MainWindow(const AppEnvironment &environment, QSettings *settings, QWidget *parent)
    : QMainWindow(parent)
    , content_(new ContentView(environment, this))
    , settings_(settings ? settings : new QSettings)
    , ownsSettings_(!settings)
    , lastFolder_(QDir::homePath())
{
    setWindowTitle(QStringLiteral("PinDrift"));
    setObjectName(QStringLiteral("mainWindow"));
    setCentralWidget(content_);
    setAcceptDrops(true);

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction *importPlaces = file->addAction(QStringLiteral("&Import Places…"), this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Import Places"),
                                                          lastFolder_, formats::openFilter());
        if (path.isEmpty())
            return;
        lastFolder_ = QFileInfo(path).absolutePath();
        content_->savedPlaces().importFile(path);
    });
    importPlaces->setObjectName(QStringLiteral("importPlacesAction"));
    QAction *exportPlaces = file->addAction(QStringLiteral("&Export Places as GPX…"), this, [this] {
        const QString path =
            askGpxPath(QStringLiteral("Export Places"),
                       placesExport_.isEmpty()
                           ? QDir(lastFolder_).filePath(QStringLiteral("PinDrift places.gpx"))
                           : placesExport_);
        if (path.isEmpty())
            return;
        placesExport_ = path;
        content_->savedPlaces().exportGpx(path);
    });
    exportPlaces->setObjectName(QStringLiteral("exportPlacesAction"));
    file->addSeparator();
    QAction *openRoute = file->addAction(QStringLiteral("&Open Route…"), this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Route"),
                                                          lastFolder_, formats::openFilter());
        if (path.isEmpty())
            return;
        lastFolder_ = QFileInfo(path).absolutePath();
        content_->openRoute(path);
    });
    openRoute->setObjectName(QStringLiteral("openRouteAction"));
    openRoute->setShortcut(QKeySequence::Open);
    QAction *saveRoute = file->addAction(QStringLiteral("&Save Route…"), this, [this] {
        // Where the route came from: the same name, as GPX.
        const QString from = content_->routeFilePath();
        const QString start = from.isEmpty()
            ? QDir(lastFolder_).filePath(QStringLiteral("PinDrift route.gpx"))
            : QFileInfo(from).absolutePath() + u'/' + QFileInfo(from).completeBaseName()
                + QStringLiteral(".gpx");
        const QString path = askGpxPath(QStringLiteral("Save Route"), start);
        if (!path.isEmpty())
            content_->saveRoute(path);
    });
    saveRoute->setObjectName(QStringLiteral("saveRouteAction"));
    saveRoute->setShortcut(QKeySequence::Save);
    file->addSeparator();
    QAction *quit = file->addAction(QStringLiteral("&Quit"), this, &QWidget::close);
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);

    QMenu *location = menuBar()->addMenu(QStringLiteral("&Location"));
    location->addAction(content_->lockAction());
    location->addAction(content_->resetAction());

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    QAction *log = view->addAction(QStringLiteral("Console &Log"), this, &MainWindow::showLog);
    log->setObjectName(QStringLiteral("showLogAction"));
    log->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction *started =
        help->addAction(QStringLiteral("&Getting Started"), this, &MainWindow::showGettingStarted);
    started->setObjectName(QStringLiteral("gettingStartedAction"));
    started->setShortcut(QKeySequence::HelpContents);
    QAction *about = help->addAction(QStringLiteral("&About PinDrift"), this, [this] {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("About PinDrift"), help::aboutText(),
                        QMessageBox::Close, this);
        box.setObjectName(QStringLiteral("aboutBox"));
        box.setTextFormat(Qt::RichText);
        box.setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
        box.exec();
    });
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setMenuRole(QAction::AboutRole);

    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(300);
    connect(&saveTimer_, &QTimer::timeout, this, &MainWindow::saveFrame);

    const QByteArray frame = settings_->value(frameKey()).toByteArray();
    if (frame.isEmpty() || !restoreGeometry(frame))
        placeOnFirstLaunch();
    content_->useSettings(settings_);
}

MainWindow::~MainWindow()
{
    if (ownsSettings_)
        delete settings_;
}

void MainWindow::placeOnFirstLaunch()
{
    // 900 × 580 of content, centred on the screen.
    const QSize content(900, 580);
    resize(content.width(), content.height() + menuBar()->sizeHint().height());
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void MainWindow::saveFrame()
{
    settings_->setValue(frameKey(), saveGeometry());
    settings_->sync();
}

void MainWindow::showGettingStarted()
{
    if (!gettingStarted_)
        gettingStarted_ = help::gettingStartedWindow(this);
    gettingStarted_->show();
    gettingStarted_->raise();
    gettingStarted_->activateWindow();
}

void MainWindow::bringToFront()
{
    if (isMinimized())
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void MainWindow::showLog()
{
    if (!log_)
        log_ = new LogWindow(this);
    log_->show();
    log_->raise();
    log_->activateWindow();
}

QString MainWindow::askGpxPath(const QString &title, const QString &start)
{
    QFileDialog dialog(this, title);
    dialog.setObjectName(QStringLiteral("saveDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({QStringLiteral("GPX files (*.gpx)"), QStringLiteral("All files (*)")});
    // A name typed without an extension gets ".gpx", and the dialog asks before it replaces
    // a file of that name.
    dialog.setDefaultSuffix(QStringLiteral("gpx"));
    dialog.setDirectory(QFileInfo(start).absolutePath());
    dialog.selectFile(QFileInfo(start).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString path = formats::withGpxSuffix(dialog.selectedFiles().first());
    lastFolder_ = QFileInfo(path).absolutePath();
    return path;
}

namespace {

// The first local route file among dragged URLs.
QString droppedRoute(const QMimeData *data)
{
    for (const QUrl &url : data->urls())
        if (url.isLocalFile() && formats::isRouteFile(url.toLocalFile()))
            return url.toLocalFile();
    return {};
}

} // namespace

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedRoute(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QString path = droppedRoute(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    content_->openRoute(path);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    saveFrame();
    content_->stopBackgroundWork();
    if (log_)
        log_->close();
    if (gettingStarted_)
        gettingStarted_->close();
    QMainWindow::closeEvent(event);
}

void MainWindow::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    if (isVisible())
        saveTimer_.start();
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    if (isVisible())
        saveTimer_.start();
}
