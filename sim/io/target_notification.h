// Target device notifications: kernel components that hold a device open
// hear that the PnP manager wants to remove it, so they can close their
// handle first (and reopen it when the removal is cancelled), as Windows
// tells the holders of a file on a device stack.
#pragma once

#include <functional>

#include "ntddk.h"

namespace sim::io {

enum class TargetEvent { QueryRemove, RemoveCancelled, RemoveComplete };

using TargetListener = std::function<void(TargetEvent)>;

// Registers a listener for the stack whose PDO is 'pdo'; returns its token.
void* RegisterTargetListener(PDEVICE_OBJECT pdo, TargetListener listener);
// Forgets it; after this returns the listener is not running and never runs.
void UnregisterTargetListener(void* token);
// Tells every listener of the stack, in the order they registered.
void NotifyTargetListeners(PDEVICE_OBJECT pdo, TargetEvent event);

} // namespace sim::io
