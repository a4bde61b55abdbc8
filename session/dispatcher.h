// Routes a run-time action call by id; every outcome travels in lastError and host variables.
#pragma once
#include <cstddef>
#include <string>

// The parameters of one call: only the positions the catalogue declares; a null pointer is absent.
struct Params {
    char** raw;
    int count;
    bool has(int i) const { return raw && i < count && raw[i] != nullptr; }
    std::string text(int i) const { return has(i) ? std::string(raw[i]) : std::string(); }
    // Writes a variable parameter only when it is present, passing its text as received.
    void write(int i, const std::string& value) const;
};

struct DispatchEntry {
    int id;
    void (*run)(const Params& p);
};

// The handler table, one row per action id (checked against the catalogue by the tests).
const DispatchEntry* DispatchTable(size_t* count);

void ExecuteAction(int actionId, char** params);
