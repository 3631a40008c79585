#include "web/parse_pool.h"

#include <QTest>
#include <cstring>
#include <random>
#include <vector>

using quillmere::ParsePool;

class TestParsePool : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void blocksHoldTheirBytesWhileOthersComeAndGo() {
        // Blocks of every size, small and large, freed in a scrambled order and taken
        // again: none may overlap another or lose what was written to it.
        ParsePool pool;
        std::mt19937 random(7);
        struct Block {
            unsigned char *data;
            std::size_t size;
            unsigned char fill;
        };
        std::vector<Block> alive;
        const auto check = [](const Block &b) {
            for (std::size_t i = 0; i < b.size; ++i) {
                if (b.data[i] != b.fill)
                    return false;
            }
            return true;
        };
        for (int i = 0; i < 20'000; ++i) {
            const std::size_t size = i % 97 == 0 ? 2000 + random() % 200'000 : random() % 300;
            auto *data = static_cast<unsigned char *>(pool.take(size));
            QVERIFY(reinterpret_cast<std::uintptr_t>(data) % 8 == 0);
            const auto fill = static_cast<unsigned char>(i);
            std::memset(data, fill, size);
            alive.push_back({data, size, fill});
            if (random() % 3 == 0) {
                const std::size_t victim = random() % alive.size();
                QVERIFY(check(alive[victim]));
                pool.give(alive[victim].data);
                alive.erase(alive.begin() + qsizetype(victim));
            }
        }
        for (const Block &b : alive)
            QVERIFY(check(b));
        pool.give(nullptr);
    }

    void drainingGivesEmptySlabsBack() {
        ParsePool pool;
        std::vector<void *> tree, scratch;
        // The parser's scratch and its tree, in slabs of their own sizes.
        for (int i = 0; i < 50'000; ++i) {
            scratch.push_back(pool.take(40));
            tree.push_back(pool.take(128));
        }
        tree.push_back(pool.take(100'000));
        for (void *block : scratch)
            pool.give(block);
        const std::size_t parsed = pool.footprint();
        QVERIFY(parsed >= 50'000 * (40 + 128) + 100'000);

        pool.drain();
        // The scratch slabs are gone the moment the parse is over ...
        QVERIFY(pool.footprint() < parsed - 50'000 * 40 / 2);
        // ... and the tree's as it is given back, block by block.
        for (std::size_t i = 0; i < tree.size() / 2; ++i)
            pool.give(tree[i]);
        const std::size_t half = pool.footprint();
        QVERIFY(half < parsed - 50'000 * (40 + 128) / 2 / 2);
        for (std::size_t i = tree.size() / 2; i < tree.size(); ++i)
            pool.give(tree[i]);
        // Only the slabs of the last blocks' sizes remain.
        QVERIFY(pool.footprint() < half / 2);
    }

    void slabsGivenBackStayOutOfOthersHands() {
        // Addresses of slabs given back may not go to the next allocation and then be taken
        // from it when the pool ends.
        std::vector<std::vector<char>> others;
        {
            ParsePool pool;
            std::vector<void *> blocks;
            for (int i = 0; i < 100'000; ++i)
                blocks.push_back(pool.take(64));
            pool.drain();
            for (void *block : blocks)
                pool.give(block);
            for (int i = 0; i < 64; ++i)
                others.emplace_back(256 * 1024, char(i));
        }
        for (std::size_t i = 0; i < others.size(); ++i)
            QCOMPARE(others[i][others[i].size() / 2], char(i));
    }
};

QTEST_GUILESS_MAIN(TestParsePool)
#include "tst_parse_pool.moc"
