// The vueltas window driven as a person would, on the offscreen platform.
#include "application.h"
#include "contact.h"
#include "form1.h"
#include "modal.h"
#include "post.h"
#include "layout_table.h"
#include "window_fixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <sys/wait.h>
#include <unistd.h>

// A process ended from inside a handler leaves that handler's objects behind
// on purpose; the leak checker is not asked about the child that does so.
static bool endedInsideHandler = false;
extern "C" int __lsan_is_turned_off() { return endedInsideHandler; }

namespace {
const std::string kRight = repeat("1dd0dd", 96), kLeft = repeat("3dd2dd", 96);
}

class TestVueltasWindow : public QObject, WindowFixture<Form1> {
    Q_OBJECT

private slots:
    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void layout()
    {
        QCOMPARE(form->windowTitle(), "Control de Un Motor de Pasos: Vueltas");
        QCOMPARE(form->size(), QSize(315, 361));
        const Control controls[] = {
            {"Frame1", "QGroupBox", "", 480, 360, 3255, 1575, "Vueltas"},
            {"Command1", "QPushButton", "Frame1", 480, 360, 2295, 375, "1 Giro Completo a la Derecha"},
            {"Command2", "QPushButton", "Frame1", 480, 840, 2295, 375, "1 Giro Completo a la Izquierda"},
            {"Frame2", "QGroupBox", "", 480, 2520, 3375, 1575, "Configurar"},
            {"Label1", "QLabel", "Frame2", 240, 360, 1455, 255, "Numero de Vueltas"},
            {"Text1", "QLineEdit", "Frame2", 1920, 360, 615, 285, " "},
            {"Label2", "QLabel", "Frame2", 240, 840, 975, 255, "Direccion"},
            {"Command3", "QPushButton", "Frame2", 1320, 960, 735, 375, "Der"},
            {"Command4", "QPushButton", "Frame2", 2280, 960, 735, 375, "Izq"},
            {"Command5", "QPushButton", "", 600, 4440, 855, 375, "&Salir"},
            {"Command6", "QPushButton", "", 2160, 4440, 855, 375, "&Info"},
        };
        checkControls(form, controls);
    }

    // Focus starts on Command1 and Tab goes through the controls in order.
    void focusAndTabOrder()
    {
        QCOMPARE(QApplication::focusWidget(), child("Command1"));
        QStringList order;
        for (int i = 0; i < 7; ++i) {
            order << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(order, QStringList({"Command1", "Command2", "Text1", "Command3", "Command4", "Command5", "Command6"}));
        QCOMPARE(QApplication::focusWidget(), child("Command1"));
    }

    void spaceAfterStart()
    {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(port->log, "0" + kRight + "0");
    }

    // Each button's traffic after start-up, with the turns box holding `text`.
    void buttons_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("traffic");
        QTest::newRow("full right") << "Command1" << " " << QString::fromStdString(kRight + "0");
        QTest::newRow("full left") << "Command2" << " " << QString::fromStdString(kLeft + "0");
        QTest::newRow("counted right") << "Command3" << "0.5" << QString::fromStdString(repeat("1dd0dd", 48));
        QTest::newRow("counted left") << "Command4" << "1" << QString::fromStdString(kLeft);
        QTest::newRow("counted, initial blank") << "Command3" << " " << "";
        QTest::newRow("info") << "Command6" << "7" << "";
    }
    void buttons()
    {
        QFETCH(QString, button);
        QFETCH(QString, text);
        QFETCH(QString, traffic);
        ModalBox box;
        if (button == "Command6")
            box.expect();
        child<QLineEdit>("Text1")->setText(text);
        QTest::mouseClick(child(button.toLatin1()), Qt::LeftButton);
        QCOMPARE(QString::fromStdString(port->log), "0" + traffic);
        QVERIFY(errors.isEmpty());
        QVERIFY(ends.isEmpty());
    }

    // A slip in the turns box is reported; nothing moves and the window goes on.
    void errorLeavesProgramWorking()
    {
        child<QLineEdit>("Text1")->setText("342");
        QTest::mouseClick(child("Command4"), Qt::LeftButton);
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors[0].contains("«342»") && errors[0].contains("341"));
        QVERIFY(ends.isEmpty());
        QCOMPARE(port->log, "0");
        QTest::mouseClick(child("Command1"), Qt::LeftButton);
        QCOMPARE(port->log, "0" + kRight + "0");
    }

    // Alt+I shows the contact message, without touching the port; Alt+S exits.
    void accessKeys()
    {
        ModalBox box;
        box.expect();
        QTest::keyClick(form, Qt::Key_I, Qt::AltModifier);
        QTRY_VERIFY(box.seen);  // an access key clicks its button a moment later
        QCOMPARE(box.title, "Control de un Motor de Pasos: Vueltas");
        QCOMPARE(box.text, contactPrompt());
        QVERIFY(box.text.startsWith("Para otros proyectos ") && box.text.endsWith(QChar(13)));
        QVERIFY(!box.text.contains('\n'));
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.buttons, QMessageBox::Ok);
        QCOMPARE(port->log, "0");

        child<QLineEdit>("Text1")->setText("1");
        QTest::mouseClick(child("Command4"), Qt::LeftButton);  // leaves the port at 2
        form->activateWindow();  // a window manager would give it back after the box
        QVERIFY(QTest::qWaitForWindowActive(form));
        QTest::keyClick(form, Qt::Key_S, Qt::AltModifier);
        QTRY_COMPARE(ends, QList<int>({0}));
        QCOMPARE(port->log, "0" + kLeft + "0");
    }

    void closeWritesNothing()
    {
        child<QLineEdit>("Text1")->setText("1");
        QTest::mouseClick(child("Command4"), Qt::LeftButton);
        form->close();
        QCOMPARE(port->log, "0" + kLeft);
    }

    // Start-up that can't reach the port is fatal: reported, status 1.
    void fatalStartUp()
    {
        struct Broken : RecordingPort {
            void write(short, short) override { throw FatalError("sin puerto"); }
        } broken;
        QVERIFY(!Application::guard([&] { Form1 dead(broken); }));
        QCOMPARE(errors, QStringList({"sin puerto"}));
        QCOMPARE(ends, QList<int>({1}));
    }

    // Clicks and keys given during a move wait for it and then run in order; an
    // exit among them ends the program, and nothing after it runs. The real
    // exit ends the process, so this runs in a child.
    void inputQueuedDuringMove()
    {
        int pipeFds[2];
        QCOMPARE(pipe(pipeFds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            endedInsideHandler = true;
            static int out = pipeFds[1];
            static RecordingPort *traffic = port;
            std::atexit([] { (void)!write(out, traffic->log.data(), traffic->log.size()); });
            Application::endProgram = [](int status) { std::exit(status); };
            port->onWrite = [&] {
                port->onWrite = nullptr;
                postKey(child("Command2"), Qt::Key_Space);
                postClick(child("Command5"));
                postClick(child("Command1"));
            };
            QTest::mouseClick(child("Command1"), Qt::LeftButton);
            QCoreApplication::processEvents();
            _exit(3);  // the exit did not end the program
        }
        close(pipeFds[1]);
        QByteArray log;
        char buffer[65536];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            log.append(buffer, n);
        close(pipeFds[0]);
        int status = 0;
        QCOMPARE(waitpid(pid, &status, 0), pid);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(log.toStdString(), "0" + kRight + "0" + kLeft + "0" + "0");
    }
};

int main(int argc, char **argv)
{
    Application app(argc, argv, QStringLiteral("prueba"));
    TestVueltasWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vueltas_window.moc"
