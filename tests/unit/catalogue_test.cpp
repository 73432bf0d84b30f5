#include "interface/catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace cashdrawer {
namespace {

std::string ModelOf(const char* drawerId) {
    const std::string id = drawerId;
    return id.substr(0, id.rfind("_Cash"));
}

TEST(Catalogue, Holds57DistinctDrawersOf29Models) {
    std::set<std::string> ids;
    std::set<std::string> models;
    for (const CatalogueRow& row : Catalogue()) {
        const std::string id = row.drawerId;
        EXPECT_TRUE(id.ends_with("_CashA") || id.ends_with("_CashB")) << id;
        ids.insert(id);
        models.insert(ModelOf(row.drawerId));
    }
    EXPECT_EQ(ids.size(), 57u);
    EXPECT_EQ(models.size(), 29u);
    EXPECT_EQ(ids.count("KV2790L_CashA"), 1u);
    EXPECT_EQ(ids.count("KV2790L_CashB"), 0u);
}

TEST(Catalogue, GroupsRowsByMethodInOpenCashOrder) {
    struct Span {
        int first;
        int last;
        const DrawerOps* method;
    };
    const Span spans[] = {
        {1, 2, &kSerialDrawer},  {3, 6, &kMemoryGpio},   {7, 24, &kPortGpio32},
        {25, 37, &kPortGpio8},   {38, 39, &kPortGpio32},
    };
    for (const Span& span : spans) {
        for (int number = span.first; number <= span.last; ++number) {
            EXPECT_EQ(Catalogue()[number - 1].method, span.method) << "row " << number;
        }
    }
    for (int number = 40; number <= 57; ++number) {
        const DrawerOps* method = Catalogue()[number - 1].method;
        EXPECT_TRUE(method->usesPortIo && method != &kPortGpio8 && method != &kPortGpio32) << "row " << number;
    }
}

TEST(Catalogue, ThirtyTwoBitModelsAreDrivenThroughTheRn370DrawerOfTheSameLetter) {
    int rows = 0;
    for (const CatalogueRow& row : Catalogue()) {
        if (row.method != &kPortGpio32) {
            continue;
        }
        ++rows;
        const PortGpioProfile* expected =
            std::string(row.drawerId).ends_with("_CashA") ? &kRn370WiringA : &kRn370WiringB;
        EXPECT_EQ(row.ArgsAs<PortGpio32Args>().wiring, expected) << row.drawerId;
    }
    EXPECT_EQ(rows, 20);
    EXPECT_EQ(FindForOpenCash("RN340_CashB")->ArgsAs<PortGpio8Args>().wiring, &kRn340WiringB);
}

TEST(Catalogue, GetCashStatusTestsItsOwn54RowsSerialAndMemoryFirst) {
    const auto order = StatusTestOrder();
    ASSERT_EQ(order.size(), 54u);
    const std::set<int> leadingSix(order.begin(), order.begin() + 6);
    EXPECT_EQ(leadingSix, (std::set<int>{1, 2, 3, 4, 5, 6}));
    const std::set<int> tested(order.begin(), order.end());
    for (int untested : {50, 51, 55}) {
        EXPECT_EQ(tested.count(untested), 0u) << untested;
    }
}

TEST(Catalogue, EveryIdentifierFindsItsOwnRowInEachExportThatKnowsIt) {
    for (const CatalogueRow& row : Catalogue()) {
        EXPECT_EQ(FindForOpenCash(row.drawerId), &row) << row.drawerId;
        const bool statusKnown = row.ReadsStatus();
        EXPECT_EQ(FindForGetCashStatus(row.drawerId), statusKnown ? &row : nullptr) << row.drawerId;
    }
    for (const char* unknownToStatus : {"KV7820_CashB", "KV4980_CashB", "KV7100_CashB"}) {
        EXPECT_NE(FindForOpenCash(unknownToStatus), nullptr) << unknownToStatus;
        EXPECT_EQ(FindForGetCashStatus(unknownToStatus), nullptr) << unknownToStatus;
    }
}

// Each candidate sits in a heap block of exactly its own size, so reading a
// byte past its terminator is an AddressSanitizer error, not a quiet pass.
TEST(Catalogue, MatchesByteForByteAndNeverReadsPastTheTerminator) {
    const char* nearMisses[] = {
        "rn340_casha",     // letter case counts
        "RN340_CashA ",    // nothing is trimmed
        " RN340_CashA",
        "RN340_Cash",      // prefix
        "RN340_CashAB",    // extension
        "RN340_CashA.dll",
        "",
        "KV2790L_CashB",   // the model has a drawer A only
        "RN340_CashC",
        "RN34",
    };
    for (const char* text : nearMisses) {
        const std::size_t size = std::strlen(text) + 1;
        auto exact = std::make_unique<char[]>(size);
        std::memcpy(exact.get(), text, size);
        EXPECT_EQ(FindForOpenCash(exact.get()), nullptr) << '"' << text << '"';
        EXPECT_EQ(FindForGetCashStatus(exact.get()), nullptr) << '"' << text << '"';
    }
    EXPECT_EQ(FindForOpenCash(nullptr), nullptr);
    EXPECT_EQ(FindForGetCashStatus(nullptr), nullptr);
}

} // namespace
} // namespace cashdrawer
