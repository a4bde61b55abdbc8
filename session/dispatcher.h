// Routes a run-time action call by id; every outcome travels in lastError and host variables.
#pragma once
#include <cstddef>

struct Params;

struct DispatchEntry {
    int id;
    void (*run)(const Params& p);
};

// The handler table, one row per action id (checked against the catalogue by the tests).
const DispatchEntry* DispatchTable(size_t* count);

void ExecuteAction(int actionId, char** params);
