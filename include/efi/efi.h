// The native API of efi, whole: what extension code includes.
#pragma once

#include <efi/allocator.h>
#include <efi/call.h>
#include <efi/callback.h>
#include <efi/diagnostics.h>
#include <efi/errors.h>
#include <efi/export.h>
#include <efi/masked_traps.h>
#include <efi/matrix.h>
#include <efi/module.h>
#include <efi/numeric.h>
#include <efi/rational.h>
#include <efi/records.h>
#include <efi/redirector.h>
#include <efi/se_exception.h>
#include <efi/standard_errors.h>
#include <efi/version.h>
