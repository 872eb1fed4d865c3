// Marks what libks_netclient.so exports; everything else in it is hidden.
#pragma once

#if defined(KS_NETCLIENT_BUILDING)
#define KS_NETCLIENT_API __attribute__((visibility("default")))
#else
#define KS_NETCLIENT_API
#endif
