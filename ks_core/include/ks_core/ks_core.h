// Everything a network backend needs of the framework's core library.
#pragma once

#include "ks_core/ks_backend_types.h"
#include "ks_core/ks_base64.h"
#include "ks_core/ks_buffer.h"
#include "ks_core/ks_device_context.h"
#include "ks_core/ks_exception.h"
#include "ks_core/ks_inference_stats.h"
#include "ks_core/ks_static_vector.h"
#include "ks_core/ks_status.h"
#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"
