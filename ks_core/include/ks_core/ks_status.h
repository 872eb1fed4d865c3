// Status codes carried by ks::Exception: what kind of failure an operation met.
#pragma once

#include <cstdint>

namespace ks {

// The values are part of the framework's ABI: hosts compare them numerically, so they never change.
enum class Status : int32_t {
  kOk = 0,
  kError = 1,               // unspecified failure
  kNotImplemented = 2,      // the operation exists but has no implementation yet
  kInternalError = 3,       // an unexpected failure inside the framework
  kUnknownError = 4,        // a failure whose cause could not be told
  kOutOfRange = 5,          // an index, size or value outside what is allowed
  kInvalidArgument = 6,     // malformed input
  kInvalidFormat = 7,       // input in a format that is not understood
  kNotSupported = 8,        // the operation is not supported by this object
  kInvalidState = 9,        // the object is not in a state that allows the operation
  kAlreadyExists = 10,      // something to be created is there already
  kLogicError = 11,         // a broken precondition
  kRuntimeError = 12,       // a failure of the environment (I/O, network, remote peer)
  kIoError = 13,            // a file could not be read or written
  kTimeout = 14,            // an operation did not finish in time
  kDeviceError = 15,        // the compute device failed
  kOutOfMemory = 16,        // an allocation failed
  kBusy = 17,               // a resource is in use
  kUnavailable = 18,        // a resource cannot be reached
  kCapacityExceeded = 19,   // a fixed-capacity container is full
  kNotFound = 20,           // a named thing does not exist
  kPermissionDenied = 21,   // access was refused
  kCancelled = 22,          // the operation was cancelled
  kAborted = 23,            // the operation was aborted
  kBackendError = 24,       // a compute backend reported a failure
  kCompilationError = 25,   // a network or kernel could not be compiled
  kResourceExhausted = 26,  // a limit on some resource was reached
  kDataLoss = 27,           // data was lost or corrupted
  kUnauthenticated = 28,    // the peer could not be authenticated
  kVersionMismatch = 29,    // peers or files of incompatible versions
};

// Upper-case name of a status ("CAPACITY_EXCEEDED"); "UNKNOWN_STATUS" for a value outside 0..29.
const char* statusName(Status status);

}  // namespace ks
