// The published area's reading side: the cursor through the ring.
#include "published.h"

#include <QtTest>
#include <memory>

class TestPublished : public QObject {
    Q_OBJECT

private slots:
    // Writes stamped 1, 2, … before and after a cursor is placed, a fault at the first after it (or the newest
    // before): what it yields ("|": it had to wait), lost, whether the ring lost the start, the write before.
    void cursor_data()
    {
        QTest::addColumn<QString>("script");  // before, since, after, fault
        QTest::addColumn<QString>("seen");
        QTest::newRow("the present") << "3 now 2" << "4 5 before 3";
        QTest::newRow("since a time") << "5 3 0" << "3 4 5 before 2";
        QTest::newRow("the ring lost the start") << "32778 0 0" << "11..32778 (32768) late";
        QTest::newRow("overrun") << "1 now 32868" << "102..32869 (32768) lost 100 before 1";
        QTest::newRow("an entry being written") << "1 now 2 writing" << "| 2 3 before 1";
        QTest::newRow("the newest being written") << "3 now 0 newest" << "before 2";
        QTest::newRow("overwritten while read") << "1 now 2 overwritten" << "3 lost 1 before 1";
        QTest::newRow("an area made anew") << "3 now 0 anew" << "4 5 before 3";
    }
    void cursor()
    {
        QFETCH(QString, script);
        const QStringList step = script.split(' ');
        const QString fault = step.value(3);
        auto area = std::make_unique<published::Area>();
        std::uint64_t time = 0;
        const auto publish = [&](int count) {
            for (int i = 0; i < count; ++i, ++time)
                published::publish(*area, time + 1, 888, short(time & 3));
        };
        const int before = step[0].toInt();
        publish(before);
        area->ring[(before - 1) % published::kRing].seq = fault == "newest" ? 0 : before;
        published::Cursor cursor(*area, step[1] == "now" ? published::Cursor::kPresent : step[1].toULongLong());
        publish(step[2].toInt());
        std::atomic<std::uint64_t> &first = area->ring[before % published::kRing].seq;
        first = fault == "writing" ? 0 : fault == "overwritten" ? first + published::kRing : first.load();
        if (fault == "anew")
            area->writes = 0, area->ring[0].seq = area->ring[1].seq = area->ring[2].seq = 0, publish(2);
        QStringList seen;
        published::Write write;
        const auto drain = [&] {
            for (; cursor.next(write); seen << QString::number(write.time))
                QVERIFY(write.address == 888 && write.value == short((write.time - 1) & 3));  // read whole
        };
        drain();
        if (fault == "writing")
            seen << "|", first = before + 1, drain();
        if (seen.size() > 5)
            seen = QStringList{QStringLiteral("%1..%2 (%3)").arg(seen.first(), seen.last()).arg(seen.size())};
        const bool known = cursor.before(write);
        seen << (cursor.overrun() ? "lost " + QString::number(cursor.overrun()) : "")
             << (cursor.lateStart() ? "late" : "") << (known ? "before " + QString::number(write.time) : "");
        QTEST(seen.filter(QRegularExpression(".")).join(' '), "seen");
        QCOMPARE(published::last(*area, write) ? write.time : 0, fault == "newest" ? 2 : time);
    }
};

QTEST_GUILESS_MAIN(TestPublished)
#include "tst_published.moc"
