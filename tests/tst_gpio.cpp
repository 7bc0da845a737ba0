// The GPIO backend: its setting read and its line request built, and what it asks of a stand-in kernel.
#include "library.h"
#include "gpio.h"

class TestGpio : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    // PARPORT=gpio:CHIP:STEP,DIRECTION: the chip, and each line by its number (any number of digits) or name.
    void setting_data()
    {
        pairs("setting", "read",  // read: "chip|step|direction", or "" when refused
              {{"numbers", "gpiochip0:17,27", "gpiochip0|17|27"}, {"a path and names", "/dev/gpiochip4:GPIO17,GPIO27",
               "/dev/gpiochip4|GPIO17|GPIO27"}, {"a label with a colon", "pinctrl:bcm:3,4", "pinctrl:bcm|3|4"}});
        for (const char *bad : {"gpiochip0:17", "gpiochip0:5,5", ":1,2", "gpiochip0:1,", "gpiochip0:,1", "c:1,2,3",
                                "c:05,5"})
            QTest::newRow(bad) << bad << "";
    }
    void setting()
    {
        QFETCH(QString, setting);
        inpout::GpioSetting got;
        const std::string message = inpout::readGpioSetting(setting.toStdString(), got);
        QTEST(QString::fromStdString(message.empty() ? got.chip + "|" + got.step + "|" + got.direction : ""), "read");
        const QString said = QString::fromStdString(message);
        QVERIFY(said.isEmpty() || (said.contains("«gpio:" + setting + "»") && said.contains("gpio:CHIP:PASO")));
    }

    // The chip checked before any ioctl; both lines asked once, step first, named after the program, as outputs
    // (flags 8) with one attribute (2: their values), both (mask 3) at 0; direction set before step; released.
    void sequence_data()
    {
        sequenceColumns();
        const QString lines = "open /dev/gpiochip0,CHIPINFO,GET_LINE %1 %2 2 tst_gpio 8 1 2 0/3,close 7,SET 2/2,"
                              "SET 1/1,close 9";
        QTest::newRow("two-digit lines") << "PARPORT=gpio:gpiochip0:17,27" << QStringList() << lines.arg(17).arg(27);
        QTest::newRow("by label, a line's name") << "PARPORT=gpio:9030000.pl061:4,L6" << QStringList()
            << lines.arg(4).arg(6).replace(",GET", "," + QString("LINEINFO,").repeated(7) + "GET");
    }
    void sequence() { checkSequence(); }

    void failures_data()
    {
        failureColumns();
        const QString chip = "PARPORT=gpio:gpiochip0:";
        failure("no permission", chip + "4,6", "open", EACCES, {"/dev/gpiochip0", "grupo gpio", "udev"});
        failure("not a chip", "PARPORT=gpio:/dev/null:4,6", "subsystem", 0, {"/dev/null no es un chip GPIO"});
        failure("no such chip", "PARPORT=gpio:pl061:4,6", "", 0, {"«pl061»", "gpiodetect"});
        failure("no such line", chip + "4,GPIO27", "", 0, {"«GPIO27»", "9030000.pl061", "de 0 a 31"});
        failure("past the last line", chip + "32,2", "", 0, {"«32»", "/dev/gpiochip0"});
        failure("one line twice", chip + "6,L6", "", 0, {"«gpio:gpiochip0:6,L6»"});
        failure("lines held", chip + "4,6", "GET_LINE", EBUSY,
                {"las tiene «vueltas»", "/dev/gpiochip0 (9030000.pl061, líneas 4 y 6)"});
        failure("no v2 interface", chip + "4,6", "GET_LINE", ENOTTY, {"v2", "Linux 5.10"});
    }
    void failures() { checkFailure(); }
};

QTEST_GUILESS_MAIN(TestGpio)
#include "tst_gpio.moc"
