#include "app/HelpPages.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace help {

namespace {

QString keys(QKeyCombination combination)
{
    return QKeySequence(combination).toString(QKeySequence::NativeText).toHtmlEscaped();
}

QString gettingStartedHtml()
{
    return QStringLiteral(
               "<h3>Getting started</h3>"
               "<p><b>1. What the iPhone needs</b></p>"
               "<ul>"
               "<li>Plugged in over USB, unlocked, and trusting this computer: the iPhone asks "
               "the first time; tap <i>Trust</i> and enter the passcode.</li>"
               "<li><b>Developer Mode</b> on (iOS 16 and later): Settings → Privacy &amp; "
               "Security → Developer Mode. The iPhone restarts.</li>"
               "<li>The developer disk image mounted. When spoofing fails for want of it, the "
               "<i>Mount Developer Image</i> button under the status line mounts it.</li>"
               "</ul>"
               "<p>PinDrift sees the iPhone within about two seconds of plugging it in; "
               "<i>Detect Device</i> checks again at any time.</p>"
               "<p><b>2. Spoof a location</b></p>"
               "<p>Put the pin somewhere: click the map, search for a place (%1), type a "
               "latitude and longitude and press <i>Go</i>, or take a quick location. Then "
               "press <b>🔒 Spoof Location</b> (%2): the iPhone reports the pin's position. "
               "While it is held, every new place you pick moves it there.</p>"
               "<p><b>🔓 Unlock Location</b> (%2) gives the iPhone its real position back; "
               "<b>↺ Reset Location</b> (%3) does so too, even for a location left by an "
               "earlier run.</p>"
               "<p><b>3. Move</b></p>"
               "<p>While a location is held, click the map and hold an arrow key (or W, A, S, "
               "D): the location moves the way the key points on the screen, at the pace chosen "
               "under <i>Route</i>, and stays where you let go.</p>"
               "<p><b>4. Play a route</b></p>"
               "<p>Under <i>Route</i>, press <i>✏️ Draw</i> (or R on the map) and click "
               "waypoints on the map, or open a GPX file (%4) or drop one on the window. Pick a "
               "pace and whether the route plays once, loops or goes back and forth, then press "
               "<b>▶ Start</b>. With no iPhone connected, Start is a preview that moves only the "
               "pin.</p>"
               "<p>When something goes wrong, the line under the status says what to do, and "
               "<i>View → Console Log</i> (%5) shows what the tools said.</p>")
        .arg(keys(Qt::CTRL | Qt::Key_F), keys(Qt::CTRL | Qt::Key_L), keys(Qt::CTRL | Qt::Key_R),
             keys(Qt::CTRL | Qt::Key_O), keys(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
}

} // namespace

QWidget *gettingStartedWindow(QWidget *parent)
{
    auto *dialog = new QDialog(parent);
    dialog->setObjectName(QStringLiteral("gettingStarted"));
    dialog->setWindowTitle(QStringLiteral("Getting Started with PinDrift"));
    dialog->resize(520, 560);
    auto *layout = new QVBoxLayout(dialog);
    auto *page = new QTextBrowser(dialog);
    page->setObjectName(QStringLiteral("gettingStartedText"));
    page->setAccessibleName(QStringLiteral("Getting Started"));
    page->setFrameShape(QFrame::NoFrame);
    page->setOpenExternalLinks(true);
    page->setHtml(gettingStartedHtml());
    layout->addWidget(page);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    buttons->button(QDialogButtonBox::Close)->setToolTip(QStringLiteral("Close this page (Esc)"));
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    layout->addWidget(buttons);
    auto *closeKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), dialog);
    QObject::connect(closeKey, &QShortcut::activated, dialog, &QDialog::close);
    return dialog;
}

QString aboutText()
{
    return QStringLiteral(
               "<p><b>PinDrift %1</b></p>"
               "<p>Holds a GPS location of your choice on an iPhone or iPad connected over "
               "USB.</p>"
               "<p>PinDrift builds on, and runs as separate programs:</p>"
               "<ul>"
               "<li><b>Qt</b> %2 — © The Qt Company Ltd. and other contributors, under the "
               "GNU Lesser General Public License version 3.</li>"
               "<li><b>libimobiledevice</b> — its library under the GNU Lesser General Public "
               "License 2.1 or later, its tools (ideviceinfo, idevice_id, idevicepair, "
               "idevicesetlocation) under the GNU General Public License 2 or later.</li>"
               "<li><b>go-ios</b> — © Daniel Paulus and contributors, under the MIT "
               "License.</li>"
               "<li><b>GeographicLib</b> — © Charles Karney, under the MIT/X11 License.</li>"
               "<li><b>pymobiledevice3</b>, where you installed it — under the GNU General "
               "Public License 3.</li>"
               "</ul>"
               "<p>Map data, place search (Nominatim) and road routes (OSRM): © <a "
               "href=\"https://www.openstreetmap.org/copyright\">OpenStreetMap "
               "contributors</a>, available under the Open Database License (ODbL) "
               "1.0.</p>")
        .arg(QApplication::applicationVersion().isEmpty() ? QStringLiteral(PINDRIFT_VERSION)
                                                          : QApplication::applicationVersion(),
             QString::fromLatin1(qVersion()));
}

} // namespace help
