// Forwards to the host side's result vocabulary (Status, Result) in its own target below tpk_host.
#pragma once

#include "result/host_result.h"
