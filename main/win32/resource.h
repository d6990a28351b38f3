// Resource ids of tarnwick.rc, included by the resource script and the code.
#pragma once

#define IDI_TARNWICK 1
