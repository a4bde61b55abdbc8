// Routes a run-time action call by id; every outcome travels in lastError and host variables.
#pragma once

void ExecuteAction(int actionId, char** params);
