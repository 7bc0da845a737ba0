// The viewer's window as a person uses it, off screen: its labels and diagram, its keys, the save
// dialog, what it keeps between runs, and two viewers side by side.
#include "application.h"
#include "widgets.h"
#include "window.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QtTest>
#include <unistd.h>

using namespace simulador;

class TestSimuladorWindow : public QObject {
    Q_OBJECT

    published::Mapped area;
    const QString dir = QCoreApplication::applicationDirPath();
    const std::string path = dir.toStdString() + "/simulador_window.area";

    MappedArea freshArea()  // and the same area as a window takes it
    {
        ::unlink(path.c_str());
        std::string error;
        MappedArea viewed;
        area = published::mapArea(path, error);
        [&] { QVERIFY2(area && viewed.map(path, error), error.c_str()); }();
        return viewed;
    }
    void write(const QString &values, unsigned long long from, unsigned long long step = 1000)
    {
        for (QChar v : values)
            published::publish(*area, from += step, 888, short(v.digitValue()));
    }
    // Presses `key` in `window`, answering the modal dialogs it opens from inside their own event
    // loops: a save dialog with the file `name` (empty: cancelled), a message box with OK. Says what they showed.
    static QString press(QWidget *window, QKeyCombination key, const QString &name = {})
    {
        QString shown;
        bool done = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                shown += dialog->windowTitle() + ": " + QFileInfo(dialog->selectedFiles().value(0)).fileName() + "|";
                dialog->selectFile(name);
                QTest::keyClick(dialog, name.isEmpty() ? Qt::Key_Escape : Qt::Key_Return);
                done = name.isEmpty();
            } else if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown += box->text();
                box->button(QMessageBox::Ok)->click();
                done = true;
            }
        });
        poll.start(5);
        QTest::keyClick(window, key.key(), key.keyboardModifiers());  // a button's key clicks it a moment later
        const bool answered = QTest::qWaitFor([&] { return done; });
        window->activateWindow();
        return answered && QTest::qWaitForWindowActive(window) ? shown : "not answered: " + shown;
    }

private slots:
    void init() { QCoreApplication::setOrganizationName("motorpasos"), QSettings().clear(); }

    void qtInSpanish() { QVERIFY(translateQt() && QCoreApplication::translate("QPlatformTheme", "&Yes") == "&Sí"); }

    // Each span offered, by its caption, is what a capture takes: of writes two spans, half a span
    // and 1 ns before now, the last two (saving all: the three).
    void spans_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("saved");
        QTest::newRow("1 ms") << 1 << 2;
        QTest::newRow("100 ms") << 100 << 2;
        QTest::newRow("2 s (y guardar todo)") << 2000 << 3;
    }
    void spans()
    {
        QFETCH(int, ms);
        SimuladorWindow window(freshArea());
        auto *choices = window.findChild<QComboBox *>("intervalo");
        const int choice = choices->findText(QTest::currentDataTag());
        QVERIFY(choice >= 0);
        choices->setCurrentIndex(choice);
        const unsigned long long span = ms * 1000000ULL, now = 10 * kSecond;
        for (unsigned long long before : {2 * span, span / 2, 1ULL})
            published::publish(*area, now - before, 888, 1);
        QTEST(window.saveCaptureTo(dir + "/ventana.vcd", now).message.section(' ', 1, 1).toInt(), "saved");
    }

    // The labels and the diagram say what the session knows, where they were before the layouts, the
    // lines of figures and a program's name (not markup) uncut; the keys: Tab through the options and
    // buttons, an arrow to choose, Alt+C to freeze, Alt+G and Ctrl+S to save through the dialog.
    void viewer()
    {
        SimuladorWindow window(freshArea());
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const auto label = [&](const char *name) { return window.findChild<QLabel *>(name); };
        QCOMPARE(press(&window, Qt::CTRL | Qt::Key_S), "No hay nada que guardar: en ese intervalo no se escribió "
                 "nada. Con «2 s (y guardar todo)» se guarda cuanto tiene el anillo.");
        published::attach(*area, "<img width=1e9>");
        const unsigned long long now = 10 * kSecond;
        write("0" + QString("10").repeated(96) + "0", now - 200000000, 1000000);
        window.frame(now);
        QCOMPARE(label("posicion")->text(), "Posición: 96 pasos (1,00 vueltas)");
        QCOMPARE(label("regularidad")->text(), figuresLine(window.session()));
        QCOMPARE(label("movimiento")->text().left(20), "Movimiento en curso:");
        for (QLabel *lines : {label("regularidad"), label("programa")})
            QVERIFY(lines->heightForWidth(lines->width()) <= lines->height() && lines->heightForWidth(420) > 0);
        window.frame(now + kStill);
        QCOMPARE(window.findChild<TimingDiagram *>("diagrama")->span(), 231600000ULL);
        QCOMPARE(QString("%1 %2 %3").arg(window.findChild<Dial *>("dial")->geometry() == QRect(10, 10, 260, 260))
                     .arg(window.findChild<TimingDiagram *>("diagrama")->geometry() == QRect(10, 454, 700, 138))
                     .arg(window.findChild<QPushButton *>("congelar")->geometry() == QRect(426, 423, 110, 26)), "1 1 1");

        QStringList focus;
        for (int tab = 0; tab < 6; ++tab, QTest::keyClick(&window, Qt::Key_Tab))
            focus << window.focusWidget()->objectName();
        QCOMPARE(focus.join(' '), "flanco sentidoBajo intervalo congelar guardarCaptura flanco");
        QTest::keyClick(&window, Qt::Key_Tab);
        QTest::keyClick(window.focusWidget(), Qt::Key_Up);
        QCOMPARE(window.session().span(), 0);
        QTest::keyClick(&window, Qt::Key_C, Qt::AltModifier);  // pressed as a click shows, for a moment
        QTRY_VERIFY(window.session().frozen() && window.findChild<QPushButton *>("congelar")->isChecked());
        write("1", now + kSecond);
        window.frame(now + kSecond);
        QVERIFY(window.findChild<Lamp *>("lamparaPulso")->lit() && !window.findChild<Lamp *>("lamparaDireccion")->lit());
        QFile::remove(dir + "/tecla.vcd");
        const QString saved = press(&window, Qt::ALT | Qt::Key_G, dir + "/tecla.vcd");
        QVERIFY2(saved.startsWith("Guardar captura: captura.vcd|Guardadas 194 escrituras en " + dir + "/tecla.vcd: lo "
                                  "que muestra el diagrama congelado."), qPrintable(saved));
        QCOMPARE(press(&window, Qt::CTRL | Qt::Key_S), "Guardar captura: captura.vcd|");  // cancelled
        QCOMPARE(captureFolder(), dir);
    }

    // The options and the size as left, each option within its choices whatever the file says; never
    // frozen; the diagram takes the room.
    void remembered()
    {
        QVERIFY(captureFolder() != QDir::currentPath());
        {
            SimuladorWindow window(freshArea());
            for (QComboBox *box : window.findChildren<QComboBox *>())
                box->setCurrentIndex(box->count() - 1);
            window.findChild<QPushButton *>("congelar")->click();
            window.resize(900, 700);
            window.show();
            QVERIFY(window.close());
        }
        QSettings().setValue("congelado", true);  // as an earlier version kept it
        const auto opened = [&] {
            SimuladorWindow again(freshArea());
            again.show();
            QString kept;
            for (QComboBox *box : again.findChildren<QComboBox *>())
                kept += QString::number(box->currentIndex());
            return kept + QString::number(again.session().span()) + (again.session().frozen() ? " congelado" : "") +
                   (again.findChild<TimingDiagram *>("diagrama")->size() == QSize(880, 238) ? "" : " not resized");
        };
        QCOMPARE(opened(), "1144");
        for (const char *key : {"flanco", "sentidoBajo", "intervalo"})  // hand-edited
            QSettings().setValue(key, key[0] == 'f' ? -3 : 99);
        QCOMPARE(opened(), "0144");
    }

    // Two viewers of two areas: each titled by its area, the second aside the first, not over it.
    void twoViewers()
    {
        SimuladorWindow first(freshArea());
        MappedArea other;
        std::string error;
        QVERIFY2(other.map(dir.toStdString() + "/otra.area", error), error.c_str());
        first.show();
        SimuladorWindow second(std::move(other));
        second.show();
        QCOMPARE(first.windowTitle(), "simulador_window.area — Simulador de la placa del motor de pasos");
        QVERIFY(second.windowTitle().startsWith("otra.area — "));
        QVERIFY(second.pos() != first.pos() && second.size() == first.size());
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    TestSimuladorWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_simulador_window.moc"
