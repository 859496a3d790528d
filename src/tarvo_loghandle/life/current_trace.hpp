// The trace an entry is logged in, taken where it is put, in the thread that logs it: where
// OpenTelemetry's API has been imported (by the service, never by us) and its current span records
// and has a valid context, that span's ids.
#pragma once
#include "package_base.hpp"

namespace tlh {

// A TraceIds of the current span (text/trace_ids.hpp), or null: no OpenTelemetry imported, no
// span, a span that does not record or has no valid context, or anything that fails in asking.
Ref current_trace();

}  // namespace tlh
