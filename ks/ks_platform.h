#pragma once
// The platform's kernel-streaming declarations, in the order they need.
#include <windows.h>
#include <winioctl.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
