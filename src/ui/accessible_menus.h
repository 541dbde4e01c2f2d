#pragma once

// Qt leaves popup windows out of the application's children on the accessibility bus and reaches the
// menus of a menu bar through the bar. A context menu belongs to no bar: its parent there is the
// application, which did not list it, so a screen reader could not find it while it is open. After
// this call the application lists such menus after its windows while they are open.
void listContextMenusOnTheBus();
