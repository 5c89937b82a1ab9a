// The native API of efi, whole: what extension code includes.
#pragma once

#include <efi/export.h>
#include <efi/errors.h>
#include <efi/records.h>
#include <efi/allocator.h>
#include <efi/call.h>
#include <efi/masked_traps.h>
#include <efi/se_exception.h>
#include <efi/diagnostics.h>
#include <efi/rational.h>
#include <efi/redirector.h>
#include <efi/numeric.h>
#include <efi/matrix.h>
#include <efi/callback.h>
#include <efi/module.h>
