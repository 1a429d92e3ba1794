#pragma once
#include <gtk/gtk.h>

#include "shell/single_instance.h"

namespace ostrel::shell {

// The GtkApplication behind the guard (registered on the session bus unless unguarded).
GtkApplication* applicationOf(SingleInstance& instance);
// A fresh application that guards nothing, for a host started without a guard.
GtkApplication* newUnguardedApplication(const char* applicationId);

}  // namespace ostrel::shell
