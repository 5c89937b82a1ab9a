// The host runtime, whole: what a host integrator includes.
#pragma once

#include <vrnrun/object.h>
#include <vrnrun/qlt.h>
#include <vrnrun/run.h>
