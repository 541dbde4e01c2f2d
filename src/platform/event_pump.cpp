#include "platform/event_pump.h"

#include <QCoreApplication>

namespace event_pump {

namespace {
int nesting = 0;
unsigned runs = 0;
} // namespace

void letPendingEventsRun()
{
    ++runs;
    ++nesting;
    QCoreApplication::processEvents();
    --nesting;
}

bool isNested()
{
    return nesting > 0;
}

unsigned generation()
{
    return runs;
}

} // namespace event_pump
