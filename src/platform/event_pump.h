#pragma once

// Some operations let the events that are waiting run once in the middle of their work, so the
// window repaints and stays usable. Whatever runs then runs nested inside the operation; hot keys
// that arrive meanwhile are dropped, not acted on afterwards.
namespace event_pump {

void letPendingEventsRun();

// True while events run nested inside an operation.
bool isNested();

// Counts the times events were let run inside an operation. A hot key taken before an operation
// and still waiting for its turn when the operation has let events run belongs to the time of
// that operation, and is dropped like the presses that arrive during it.
unsigned generation();

} // namespace event_pump
