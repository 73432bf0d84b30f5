// The catalogue of drawer identifiers: which drawer method serves each one,
// with which arguments, and the order in which each export tests them.
#pragma once

#include "hardware/drawer_id.h"
#include "interface/drawer_methods.h"

#include <cstdint>
#include <span>
#include <variant>

namespace cashdrawer {

struct CatalogueRow {
    int number; // 1-based position in OpenCash's test order
    const char* drawerId;
    const DrawerOps* method;
    DrawerArgs args;

    DrawerLetter Letter() const;
    // The row's arguments, of the type its method takes: the catalogue is
    // checked at compile time for every row to carry them.
    template <typename Args>
    const Args& ArgsAs() const {
        return *std::get_if<Args>(&args);
    }
    bool Kicks() const { return method->kick != nullptr; }
    bool ReadsStatus() const { return method->readStatus != nullptr; }
};

// All 57 rows, in OpenCash's test order.
std::span<const CatalogueRow> Catalogue();
// Row numbers of the 54 rows GetCashStatus tests, in its own order.
std::span<const uint8_t> StatusTestOrder();

// The row each export matches, or null. A null identifier matches nothing.
const CatalogueRow* FindForOpenCash(const char* drawerId);
const CatalogueRow* FindForGetCashStatus(const char* drawerId);

} // namespace cashdrawer
