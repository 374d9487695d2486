#include "display.h"

// Every interactive Windows session has a desktop; services have none but
// are not where this tool runs.
bool prepareDisplay(bool)
{
    return true;
}

void displayStarted()
{}

bool personPresent()
{
    return true;
}
