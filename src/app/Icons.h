#pragma once

#include <QIcon>

// The globe of an icon resource (IDR_MAINFRAME, IDI_CAPTURING, IDI_IDLE) in all its sizes.
QIcon LoadAppIcon(int resource);

// Registers the built-in resources (icons, start page) of this library; safe to call often.
void EnsureAppResources();
