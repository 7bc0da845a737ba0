// The figures the documents give that the programs work out, wherever they are among README.md and docs/*.md, or
// LEEME.md and docs/es/*.md: each found by its own words (a table's row by its motor, the example output by its first lines, a
// sentence by its text) and checked against simulador --analizar's output and the model's own figures, so that the
// documents can't drift from the programs. A figure whose words are rephrased must be found again here.
#include "following.h"
#include "motors.h"
#include "table.h"

using namespace model;

namespace {

// The documents' text: the English ones, or the Spanish ones.
QString documents(bool spanish)
{
    QStringList names{spanish ? "LEEME.md" : "README.md"};
    const QString folder = spanish ? "docs/es/" : "docs/";
    for (const QString &page : QDir(QString(DOCS) + "/../" + folder).entryList({"*.md"}))
        names << folder + page;
    QString text;
    for (const QString &name : names) {
        QFile file(QString(DOCS) + "/../" + name);
        if (!file.open(QIODevice::ReadOnly))
            qFatal("can't read %s", qPrintable(name));
        text += QString::fromUtf8(file.readAll()) + "\n";
    }
    return text;
}

// simulador --analizar FILE --motor MOTOR: its standard output.
QString analyzed(const QString &file, const QString &motor)
{
    QProcess simulador;
    simulador.start(QCoreApplication::applicationDirPath() + "/../bin/simulador",
                    {"--analizar", QString(DOCS) + "/" + file, "--motor", motor});
    if (!simulador.waitForFinished(60000))
        qFatal("simulador --analizar %s did not end", qPrintable(file));
    return simulador.readAllStandardOutput();
}

// A line's figure, after "what: ".
QString said(const QString &output, const QString &what)
{
    return QRegularExpression("\n" + what + ": ([^ \n]+)").match(output).captured(1);
}

// A whole figure with its thousands grouped, as each language writes it.
QString grouped(long value, bool spanish)
{
    const QString digits = QString::number(value);
    return value < 1000 ? digits : digits.chopped(3) + (spanish ? "." : ",") + digits.right(3);
}

}  // namespace

class TestFigures : public QObject {
    Q_OBJECT

private slots:
    // pattern: the figure's words, a space for any white space, a group a figure; found: its figures, a space apart.
    void figures_data()
    {
        columns<bool, QString, QString, double>("spanish", "pattern", "found", "slack");
        const QString giro = analyzed("giro.trace", "48pasos"), lento = analyzed("giro-lento.trace", "48pasos");
        const MotorParams &usual = motorPresets().front();
        QMap<QString, QString> out;
        QMap<QString, long> pullOut;
        for (const MotorParams &motor : motorPresets()) {
            const QString name = QString::fromStdString(motor.name);
            out[name] = analyzed("giro.trace", name);
            pullOut[name] = std::lround(pullOutRate(motor, findStartRate(motor).rate));
        }
        for (const bool spanish : {false, true}) {
            const char *language = spanish ? "LEEME" : "English";
            QTest::addRow("%s: the example output", language)
                << spanish << "```\n(motor: 48pasos\npasos pedidos: 96\npasos dados: 0\n[^`]*)```" << giro << 0.0;
            for (const MotorParams &motor : motorPresets()) {
                const QString name = QString::fromStdString(motor.name), &output = out[name];
                const QString damping = QString::number(motor.dampingRatio(), 'f', 3);
                const QString cells[] = {QString("`%1`").arg(name),
                                         QString("%1 Hz").arg(std::lround(motor.naturalFrequency())),
                                         spanish ? QString(damping).replace('.', ',') : damping,
                                         grouped(said(output, "arranque máximo").toLong(), spanish),
                                         grouped(pullOut[name], spanish),
                                         said(output, "resonancias") == "ninguna" ? spanish ? "ninguna" : "none" : "?",
                                         said(output, "PARPORT_SLOWDOWN sugerido"),
                                         said(output, "PARPORT_MAXRATE sugerido")};
                QTest::addRow("%s: the table's row of %s", language, motor.name.c_str())
                    << spanish << "\n(\\| `" + name + "` \\| [^\n]* Hz \\|[^\n]*)"
                    << "| " + QStringList(std::begin(cells), std::end(cells)).join(" | ") + " |" << 0.0;
            }
            const QString rate = said(giro, "PARPORT_MAXRATE sugerido");
            for (const char *command : {"./run.sh", "build/bin/vueltas"})
                QTest::addRow("%s: PARPORT_MAXRATE=R %s", language, command)
                    << spanish << QString("PARPORT_MAXRATE=(\\d+) %1").arg(command) << rate << 0.0;
            const QString further = said(lento, "PARPORT_SLOWDOWN sugerido");
            QTest::addRow("%s: the slowed turn's advice", language)
                << spanish
                << (spanish ? "sugiere un `PARPORT_SLOWDOWN` de (\\d+) más \\((\\d+) en total, donde la misma vuelta "
                              "sin pausas pide (\\d+)\\) y, como para cualquier fichero, `PARPORT_MAXRATE` (\\d+)"
                            : "further `PARPORT_SLOWDOWN` of (\\d+) \\((\\d+) in all, where the same turn without the "
                              "pauses needs (\\d+)\\), and, as for any file, `PARPORT_MAXRATE` (\\d+)")
                << QStringList{further, QString::number(25 * further.toInt()), said(giro, "PARPORT_SLOWDOWN sugerido"),
                               said(lento, "PARPORT_MAXRATE sugerido")}.join(' ') << 0.0;
        }
        QTest::newRow("the introduction's rate") << false << "caps the pulses at (\\d+) a second"
                                                 << said(giro, "PARPORT_MAXRATE sugerido") << 0.0;
        QTest::newRow("the corner, V/(2·L·I)")
            << false
            << "(\\d+,\\d+) for the default motor: on a half-step board, (\\d+,\\d+) pulses a second|is (\\d+,\\d+) "
               "full steps a second there, (\\d+,\\d+) pulses"
                                               << grouped(std::lround(usual.cornerRate()), false) + " " +
                                                      grouped(std::lround(2 * usual.cornerRate()), false) << 0.0;
        // Where the dynamometer's torque falls to 1/√2 of its low-speed figure, found by halving to a pulse a second.
        const double low = pullOutTorque(usual, usual.cornerRate() / 10);
        double below = usual.cornerRate() / 2, above = usual.cornerRate() * 8;
        while (above - below > 1)
            (pullOutTorque(usual, (below + above) / 2) > low / std::sqrt(2) ? below : above) = (below + above) / 2;
        QTest::newRow("the dynamometer's 1/√2")
            << false << "1/√2 of its low-speed figure at (\\d+,\\d+) pulses a second" << QString::number(below) << 2.0;
    }
    void figures()
    {
        const auto [spanish, pattern, found, slack] = fetch<bool, QString, QString, double>("spanish", "pattern",
                                                                                            "found", "slack");
        const QRegularExpression words(QString(pattern).replace(' ', "\\s+"));
        int seen = 0;
        for (auto match = words.globalMatch(documents(spanish)); match.hasNext(); ++seen) {
            const QRegularExpressionMatch one = match.next();
            QStringList figures;
            for (int i = 1; i <= one.lastCapturedIndex(); ++i)
                if (!one.captured(i).isEmpty())
                    figures << one.captured(i).simplified();
            const QString got = figures.join(' ');
            QVERIFY2(slack ? std::fabs(QString(got).remove(',').toDouble() - found.toDouble()) <= slack
                           : got == found.simplified(),
                     qPrintable(QString("the documents say «%1», the programs «%2»").arg(got, found)));
        }
        QVERIFY2(seen > 0, qPrintable("not found in the documents: " + pattern));
    }
};

QTEST_GUILESS_MAIN(TestFigures)
#include "tst_figures.moc"
