// simulador --analizar as a person runs it, a process: what it says, where, and its exit status.
#include "table.h"
#include "vcd.h"

#include <QImage>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestAnalyze : public QObject {
    Q_OBJECT

    const QString dir_ = QCoreApplication::applicationDirPath() + "/tst_analyze.files";

private slots:
    void initTestCase()
    {
        QDir(dir_).removeRecursively();
        QVERIFY(QDir().mkpath(dir_) && mkfifo(qPrintable(dir_ + "/tubo"), 0600) == 0);
        QVERIFY(mkfifo(qPrintable(dir_ + "/tubo.png"), 0600) == 0);
        const auto file = [&](const QString &name, const QByteArray &bytes) { QVERIFY(put(dir_ + '/' + name, bytes)); };
        // Motors of one's own, and the README's turn as the library dumps it.
        const QByteArray figures("pasos_por_vuelta=48\npar_retencion=0.03\ncorriente=0.5\nresistencia=8\n"
                                 "inductancia=0.01\ntension=12\ninercia=2e-6\n");
        file("poco.ini", figures + "rozamiento_viscoso=1e-5\nrozamiento_seco=2e-4\n");
        file("pesado.ini", QByteArray(figures).replace("2e-6", "5e-2") + "rozamiento_viscoso=1e-4\n");
        file("viejo.png", QByteArray(5000, 'v'));
        // The README's turn as the library dumps it; and its gaps over and over, a million writes (20 MB).
        QByteArray dump = QByteArray::fromStdString(vcd::header("hoy", "1.0")), trace;
        vcd::Lines lines;
        std::vector<unsigned long long> times;
        for (const QByteArray &line : contents(DOCS "/giro.trace").trimmed().split('\n')) {
            char text[vcd::kWriteMax];
            times.push_back(line.left(line.indexOf(' ')).toULongLong());
            dump.append(text, qsizetype(vcd::write(text, lines, times.back(), line.right(1).toInt())));
        }
        file("giro.vcd", dump);
        file("notas.trace", "nota de la placa\n1000 888 0\n1000000 888 1\n2000000 888 0\nNOTA tras un programa "
                            "matado\n\n9000000000 888 1\n9001000000 888 0\n");
        for (unsigned long long i = 0, time = times[0]; i < 1000000; ++i, time += times[i % 190 + 1] - times[i % 190])
            trace += QByteArray::number(time) + (i % 2 ? " 888 1\n" : " 888 0\n");
        file("largo.trace", trace);
    }

    // FILE and SLOW: the README's turns of vueltas (full speed, slowed); DIR: this suite's files. A row's limit: on
    // the file size, the data, or its standard output open only for reading.
    void command_data()
    {
        // said: on standard output (then standard error, if it says so), or on standard error
        columns<QString, int, QString>("command", "status", "said");
        const QString says("^motor: %1\npasos pedidos: 96\npasos dados: %2\npasos perdidos: %3\narranque máximo: %4 "
                           "pasos/s\nresonancias: ninguna\nPARPORT_SLOWDOWN sugerido: %5\n"
                           "PARPORT_MAXRATE sugerido: %6\n$");
        QTest::newRow("loses steps") << "--analizar FILE" << 3 << says.arg("48pasos", "0", "96", "938", "52", "290");
        // Followed, and yet a slowdown above 1: the margin for a faster machine.
        QTest::newRow("follows") << "--analizar SLOW --motor nema17" << 0
                                 << says.arg("nema17", "96", "0", "2995", "2", "980");
        QTest::newRow("with a chart") << "--analizar FILE --grafico DIR/giro.png" << 3 << "^motor: 48pasos\n";
        QTest::newRow("the library's dump") << "--analizar DIR/giro.vcd" << 3 << "^motor: 48pasos\npasos pedidos: 96\n";
        QTest::newRow("notes between runs") << "--analizar DIR/notas.trace" << 0 << "\npasos pedidos: 2\npasos dados: 2\n";
        QTest::newRow("a motor too heavy to start") << "--analizar FILE --motor DIR/pesado.ini" << 3
                                                    << "\narranque máximo: 0 pasos/s\n.+\n.+sugerido: [1-9][0-9]{3}\n"
                                                       "PARPORT_MAXRATE sugerido: ninguno\n"
                                                       "simulador: ningún ritmo de 5 pasos/s .+\n$";
        QTest::newRow("a motor with little damping") << "--analizar SLOW --motor DIR/poco.ini" << 3
                                                     << "\nresonancias: [0-9]+(-[0-9]+)? pasos/s(, .+)?\n";
        QTest::newRow("its motor's file missing") << "--analizar FILE --motor DIR/nada.ini" << 1
                                                  << "DIR/nada.ini no se puede abrir: no existe.";
        QTest::newRow("missing") << "--analizar DIR/nada" << 1 << "El fichero DIR/nada no existe";
        QTest::newRow("a folder") << "--analizar DIR" << 1 << "El fichero DIR es una carpeta";
        QTest::newRow("a pipe") << "--analizar DIR/tubo" << 1 << "DIR/tubo no es un fichero normal";
        QTest::newRow("its motor's file a pipe")
            << "--analizar FILE --motor DIR/tubo" << 1 << "no es un fichero normal";
        QTest::newRow("unknown option") << "--analizar FILE --rapido" << 2
                                        << "«--rapido» no va con --analizar.\nUso: simulador --analizar FICHERO "
                                           "[--motor NOMBRE|FICHERO.ini] [--grafico FICHERO.png]\n(más: man -l "
                                           "SRC/packaging/simulador.1)\n";
        QTest::newRow("unknown motor") << "--analizar FILE --motor gigante" << 2 << "llamado «gigante»";
        QTest::newRow("no file") << "--analizar" << 2 << "--analizar pide un FICHERO";
        QTest::newRow("a file twice") << "--analizar FILE --analizar=FILE" << 2 << "--analizar se dio dos veces";
        QTest::newRow("chart not a png") << "--analizar FILE --grafico g.jpg" << 2 << "acabado en .png";
        QTest::newRow("a chart in place of a FIFO") << "--analizar FILE --grafico DIR/tubo.png" << 1
                                                    << "DIR/tubo.png: no es un fichero normal";
        QTest::newRow("a chart in a missing folder") << "--analizar FILE --grafico DIR/nada/g.png" << 1
                                                     << "DIR/nada/g.png: no existe. Si ya había";
        QTest::newRow("a chart past the file-size limit")
            << "ulimit-f --analizar FILE --grafico DIR/viejo.png" << 1
            << "DIR/viejo.png: el fichero pasa del tamaño máximo permitido. Si ya";
        QTest::newRow("standard output not writable") << "no-output --analizar FILE" << 1
                                                      << "no se pudo escribir en la salida estándar";
        QTest::newRow("a 20 MB trace, 16 MB of data allowed") << "ulimit-d --analizar DIR/largo.trace" << 3
                                                             << "^motor: 48pasos\npasos pedidos: 500000\n";
    }
    void command()
    {
        auto [command, status, said] = fetch<QString, int, QString>("command", "status", "said");
        QStringList arguments = QString(command).replace("FILE", DOCS "/giro.trace")
                                    .replace("SLOW", DOCS "/giro-lento.trace").replace("DIR", dir_).split(' ');
        QFile::remove(dir_ + "/giro.png");
        QProcess simulador;
        QString out, error;
        static QString limit;
        limit = arguments.front().contains('-') && !arguments.front().startsWith("--") ? arguments.takeFirst() : "";
#ifdef __SANITIZE_ADDRESS__
        if (limit == "ulimit-d")
            QSKIP("AddressSanitizer's own memory is more than the limit");
#endif
        simulador.setChildProcessModifier([] {
            const rlimit size{2048, 2048}, data{16 << 20, 16 << 20};
            if (limit == "ulimit-f")
                setrlimit(RLIMIT_FSIZE, &size);
            if (limit == "ulimit-d")
                setrlimit(RLIMIT_DATA, &data);
            if (limit == "no-output")
                dup2(open("/proc/self/exe", O_RDONLY), STDOUT_FILENO);
        });
        // A failure reads the same in Spanish whatever the locale: the system's reasons too, never its own words.
        for (const QString locale : {"C", "es_ES.UTF-8"}) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.remove("XDG_RUNTIME_DIR");  // as in a plain shell over ssh: still not a word of Qt's own
            environment.insert("LOCPATH", LOCALES), environment.insert("LANG", locale), environment.remove("LC_ALL");
            simulador.setProcessEnvironment(environment);
            simulador.start(QCoreApplication::applicationDirPath() + "/../bin/simulador", arguments);
            QVERIFY(simulador.waitForFinished(60000));
            out = simulador.readAllStandardOutput(), error = simulador.readAllStandardError();
            QCOMPARE(simulador.exitCode(), status);
            said.replace("DIR", dir_).replace("SRC", QString(DOCS).chopped(5));
            QVERIFY2(status < 1 || status > 2 ? QRegularExpression(said).match(out + error).hasMatch() &&
                                                    (error.isEmpty() || said.contains("simulador: "))
                                              : (out.isEmpty() || arguments.contains("--grafico")) &&
                                                    error.startsWith("simulador: ") && error.contains(said),
                     qPrintable(out + error));
            if (status != 1 && status != 2)
                break;
        }
        if (arguments.contains("--grafico") && status == 3)
            QCOMPARE(QImage(dir_ + "/giro.png").size(), QSize(1200, 760));
        QCOMPARE(contents(dir_ + "/viejo.png"), QByteArray(5000, 'v'));  // never cut short
    }
};

QTEST_GUILESS_MAIN(TestAnalyze)
#include "tst_analyze.moc"
