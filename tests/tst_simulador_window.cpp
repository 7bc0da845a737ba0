// The viewer's window as a person uses it, off screen: its labels and diagram, its keys, the save
// dialog, what it keeps between runs, and two viewers side by side.
#include "clock.h"
#include "support.h"
#include "texts.h"
#include "where.h"
#include "widgets.h"
#include "window.h"

#include <QComboBox>
#include <QFileDialog>
#include <QPushButton>
#include <QSettings>
#include <unistd.h>

using namespace simulador;

class TestSimuladorWindow : public QObject {
    Q_OBJECT

    published::Mapped area;
    const QString dir = QCoreApplication::applicationDirPath();

    MappedArea freshArea(const QString &name = "simulador_window.area")  // and the same area as a window takes it
    {
        const std::string path = (dir + "/" + name).toStdString();
        ::unlink(path.c_str());
        std::string error;
        MappedArea viewed;
        area = published::mapArea(path, error);
        [&] { QVERIFY2(area && viewed.map(path, error), error.c_str()); }();
        return viewed;
    }
    // Presses `key` in `window`, answering the modal dialogs it opens from inside their own event loops:
    // a save dialog with the file `name` (empty: cancelled), a message box with OK. Says what they showed.
    static QString press(QWidget *window, QKeyCombination key, const QString &name = {})
    {
        QString shown;
        bool done = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            QWidget *dialog = QApplication::activeModalWidget();
            auto *files = qobject_cast<QFileDialog *>(dialog);
            if (!files && !qobject_cast<QMessageBox *>(dialog))
                return;
            shown += files ? "Guardar: " + QFileInfo(files->selectedFiles().value(0)).fileName() + "|"
                           : static_cast<QMessageBox *>(dialog)->text();
            done = !files || name.isEmpty();
            if (files)
                files->selectFile(name);
            QTest::keyClick(dialog, files && name.isEmpty() ? Qt::Key_Escape : Qt::Key_Return);  // or OK
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

    // Each span offered, by its caption, is what a capture takes: of writes 2, ½ and 0 spans ago, two (all: 3).
    void spans()
    {
        QStringList saved;
        for (auto [caption, ms] : {std::pair{"1 ms", 1ULL}, {"10 ms", 10}, {"100 ms", 100}, {"1 s", 1000},
                                   {"2 s (y guardar todo)", 2000}}) {
            SimuladorWindow window(freshArea());
            auto *choices = window.findChild<QComboBox *>("intervalo");
            choices->setCurrentIndex(choices->findText(caption));
            for (unsigned long long before : {2 * ms * 1000000, ms * 500000, 1ULL})
                published::publish(*area, 10 * kSecond - before, 888, 1);
            saved << window.saveCaptureTo(dir + "/ventana.vcd", 10 * kSecond).message.section(' ', 1, 1);
        }
        QCOMPARE(saved.join(' '), "2 2 2 2 3");
    }

    // The labels and the diagram say what was written, laid out with nothing over another nor cut; the
    // keys: Tab through the options and buttons, an arrow to choose, Alt+C to freeze, Alt+G and Ctrl+S to
    // save through the dialog. A second viewer, of another area.
    void viewer()
    {
        SimuladorWindow window(freshArea());
        window.findChild<QTimer *>()->stop();  // frames at the times below only, past the window's first
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const auto text = [&](const char *name) { return window.findChild<QLabel *>(name)->text(); };
        published::attach(*area, "<img width=1e9>");
        const unsigned long long now = monotonicNow() + kSecond;
        for (int i = 0; i < 194; ++i)  // a turn right
            published::publish(*area, now - 200000000 + i * 1000000, 888, short(i > 0 && i < 193 && i % 2));
        window.frame(now);
        QCOMPARE(text("enVigor"), "En vigor: un paso en cada flanco de subida del bit 0; bit 1 a 0: horario, a 1: "
                                  "antihorario.");
        // 96 rising edges, the direction low, at 1 ms a write: a turn clockwise that this motor follows, its rotor
        // swinging about the pulses' hand by less than it takes to slip (half an electrical turn: 8 pulses, 30°).
        QCOMPARE(text("sigue"), "El motor sigue a los pulsos (500 pasos/s).");
        const Dial *dial = window.findChild<Dial *>("dial");
        const double apart = std::remainder(dial->rotor() - dial->commanded(), 360);
        QVERIFY(dial->commanded() == 0 && apart != 0 && std::abs(apart) < 30);
        QVERIFY(text("movimiento").startsWith("Movimiento en curso:") && text("programa").contains("<img"));
        checkLayout(&window);
        window.frame(now + kStill);
        QCOMPARE(window.findChild<TimingDiagram *>("diagrama")->span(), 231600000ULL);

        QStringList focus;
        for (int tab = 0; tab < 8; ++tab, QTest::keyClick(&window, Qt::Key_Tab))
            focus << window.focusWidget()->objectName();
        QCOMPARE(focus.join(' '), "flanco sentidoBajo motor intervalo congelar guardarCaptura flanco sentidoBajo");
        QTest::keyClick(&window, Qt::Key_Tab);
        QTest::keyClick(window.focusWidget(), Qt::Key_Up);
        QTest::keyClick(&window, Qt::Key_C, Qt::AltModifier);  // pressed as a click shows, for a moment
        QTRY_VERIFY(window.session().span() == 0 && window.session().frozen());
        published::publish(*area, now + kSecond, 888, 1);
        window.frame(now + kSecond);
        QVERIFY(window.findChild<Lamp *>("lamparaPulso")->lit() &&
                !window.findChild<Lamp *>("lamparaDireccion")->lit());
        QFile::remove(dir + "/tecla.vcd");
        QCOMPARE(press(&window, Qt::ALT | Qt::Key_G, dir + "/tecla.vcd"), "Guardar: captura.vcd|Guardadas 194 "
                 "escrituras en " + dir + "/tecla.vcd: lo que muestra el diagrama congelado. El anillo no había "
                 "perdido ninguna del intervalo.");
        QCOMPARE(press(&window, Qt::CTRL | Qt::Key_S), "Guardar: captura.vcd|");  // cancelled
        QCOMPARE(captureFolder(), dir);
        SimuladorWindow second(freshArea("otra.area")), third(freshArea("otra.area"));  // aside the last, by its area
        for (QPoint aside : {second.pos() - window.pos(), third.pos() - second.pos()})
            QVERIFY(second.windowTitle().startsWith("otra.area — ") && qMax(qAbs(aside.x()), qAbs(aside.y())) >= 32);
        QCOMPARE(window.windowTitle(), "simulador_window.area — Simulador de la placa del motor de pasos");
    }

    // Every long text the viewer shows, at its default size, none cut: one too long for its place is shortened at a
    // word, the whole in its tooltip. A turn at full speed on a motor of 400 pulses a turn, more writes than the
    // ring holds between two frames, a late gap in a hundred; the area deleted and made anew under a long name.
    // The dial tells its hands apart, «Igualar» puts them together; the picker's page opens from the build tree.
    void longTexts()
    {
        const QString name = QString("un-nombre-de-area-bastante-largo-").repeated(6) + ".area";
        SimuladorWindow window(freshArea(name));
        window.findChild<QTimer *>()->stop();
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *motor = window.findChild<QComboBox *>("motor");
        motor->setCurrentIndex(motor->findText("nema17"));
        const QString page = "man -l " + QString::fromStdString(quoted(SOURCE "/packaging/simulador.es.1"));
        QVERIFY(motor->toolTip().contains(page + ")") && QFile::exists(SOURCE "/packaging/simulador.es.1"));
        const auto whole = [&](int shortened) {
            const Session &s = window.session();
            const std::pair<const char *, QString> texts[] = {
                {"programa", programsLine(window.feed(), s)}, {"posicion", positionLine(s)},
                {"regularidad", figuresLine(s)}, {"irregular", irregularLine(s)}, {"movimiento", moveLine(s)},
                {"sentido", senseLine(s, window.feed().lost())}, {"sigue", motorLine(s)}};
            for (auto [label, text] : texts) {
                const QString shown = window.findChild<QLabel *>(label)->text();
                const QString tip = window.findChild<QLabel *>(label)->toolTip();
                QVERIFY2(shown == text || (shown.endsWith("…") && text.startsWith(shown.chopped(1)) &&
                                           tip.startsWith(text) && shortened--), label);
                QVERIFY2(!text.isEmpty(), label);
            }
            QCOMPARE(shortened, 0);
            checkLayout(&window);
        };
        unsigned long long t = monotonicNow();
        for (int i = 0; i < 40000; ++i)
            published::publish(*area, t += i % 100 ? 17000 : 2000000, 888, short(i % 2));
        const auto answered = [&] {
            window.frame(t += kSecond / 2);
            return window.session().follower().following().advice.slowdown >= 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(answered(), 60000);
        whole(0);
        freshArea(name);
        window.frame(t += kSecond + 1);
        whole(1);
        const Dial *dial = window.findChild<Dial *>("dial");
        QVERIFY(dial->toolTip().contains("Aguja roja") &&
                window.findChild<QLabel *>("leyenda")->text().contains("rotor"));
        auto *align = window.findChild<QPushButton *>("igualar");
        QVERIFY(align->isEnabled() && std::abs(std::remainder(dial->rotor() - dial->commanded(), 360)) > 10);
        align->click();
        QVERIFY(!align->isEnabled() && std::abs(std::remainder(dial->rotor() - dial->commanded(), 360)) < 1.8);
    }

    // The options and size as left, each option within its choices whatever the file says; never frozen.
    void remembered()
    {
        QVERIFY(captureFolder() != QDir::currentPath());
        auto window = std::make_unique<SimuladorWindow>(freshArea());
        published::publish(*area, 10 * kSecond, 888, 1);
        QVERIFY(window->saveCaptureTo(dir + "/recordado.vcd", 10 * kSecond + 1).ok);
        for (QComboBox *box : window->findChildren<QComboBox *>())  // the motor's last: «Otro…», its dialog
            box->setCurrentIndex(box->count() - 1 - (box->objectName() == "motor"));
        window->findChild<QPushButton *>("congelar")->click();
        window->resize(900, 700);
        window->show();
        QVERIFY(window->close());
        window.reset();
        // The keys the manual pages list under FILES are those the window writes.
        for (const char *page : {SOURCE "/packaging/simulador.1", SOURCE "/packaging/simulador.es.1"}) {
            const QString files = QString(contents(page)).section(QRegularExpression("\\.SH (FILES|FICHEROS)\n"), 1)
                                      .section("\n.SH ", 0, 0);
            QStringList listed, written = QSettings().allKeys();
            for (const auto &key : QRegularExpression("\n\\.B (\\w+)\n").globalMatch(files))
                listed << key.captured(1);
            listed.sort(), written.sort();
            QCOMPARE(listed, written);
        }
        QSettings().setValue("congelado", true);  // as an earlier version kept it
        const auto opened = [&] {
            SimuladorWindow again(freshArea());
            again.show();
            QString kept;
            for (QComboBox *box : again.findChildren<QComboBox *>())
                kept += QString::number(box->currentIndex());
            return kept + QString::number(again.session().span()) + (again.session().frozen() ? " congelado" : "") +
                   (again.findChild<TimingDiagram *>("diagrama")->size() == QSize(880, 218) ? "" : " not resized");
        };
        QCOMPARE(opened(), "11244");
        for (const char *key : {"flanco", "sentidoBajo", "motor", "intervalo"})  // hand-edited
            QSettings().setValue(key, key[0] == 'f' ? -3 : 99);
        QCOMPARE(opened(), "01044");
    }

    // A motor's file kept in the settings stays the choice while it can't be read (a drive not mounted), the
    // default shown meanwhile, until the person picks another.
    void motorKept_data()
    {
        columns<QString, QString, QString, QString>("kept", "picked", "shown", "keeps");
        QTest::newRow("a file not there") << "DIR/montado/motor.ini" << "" << "48pasos" << "DIR/montado/motor.ini";
        QTest::newRow("then another picked") << "DIR/montado/motor.ini" << "nema17" << "nema17" << "nema17";
        QTest::newRow("one's own file") << "DIR/propio.ini" << "" << "propio (propio.ini)" << "DIR/propio.ini";
    }
    void motorKept()
    {
        const auto [kept, picked, shown, keeps] = fetch<QString, QString, QString, QString>("kept", "picked", "shown",
                                                                                            "keeps");
        QVERIFY(put(dir + "/propio.ini", "nombre = propio\npasos_por_vuelta = 48\npar_retencion = 0.025\ncorriente = "
                    "0.4\nresistencia = 10\ninductancia = 0.012\ntension = 12\ninercia = 2e-6\n"));
        QSettings().setValue("motor", QString(kept).replace("DIR", dir));
        {
            SimuladorWindow window(freshArea());
            auto *motor = window.findChild<QComboBox *>("motor");
            if (!picked.isEmpty())
                motor->setCurrentIndex(motor->findText(picked));
            QCOMPARE(motor->currentText(), shown);
            window.close();
        }
        QCOMPARE(QSettings().value("motor").toString(), QString(keeps).replace("DIR", dir));
    }

    // Where a viewer opens while another is open where it would: 32 pixels left of and below it, wrapping round
    // within the screen's free area (x from 0 to 280, y from 40 to 240 here) so that it is never partly off it.
    void cascades_data()
    {
        columns<QRect, QPoint>("window", "at");  // the free area is 1000 × 800 from (0, 40); the window 720 × 600
        QTest::newRow("aside and down") << QRect(268, 40, 720, 600) << QPoint(236, 72);
        QTest::newRow("wrapping at the left") << QRect(10, 100, 720, 600) << QPoint(259, 132);
        QTest::newRow("wrapping at the bottom") << QRect(100, 230, 720, 600) << QPoint(68, 61);
        QTest::newRow("larger than the screen") << QRect(0, 0, 1200, 900) << QPoint(0, 40);
    }
    void cascades()
    {
        QFETCH(QRect, window);
        QTEST(cascaded(window, QRect(0, 40, 1000, 800)), "at");
    }
};

QTEST_MAIN(TestSimuladorWindow)
#include "tst_simulador_window.moc"
