#include "ks_exceptions_helpers.h"

#include <stdexcept>

#include "ks_core/ks_exception.h"

namespace ks {

namespace {

const char kFunction[] = "rethrow_std_to_ks";
const char kFile[] = "src/ks_inference_server/ks_exceptions_helpers";

}  // namespace

void rethrow_std_to_ks(const std::function<void()>& work) {
  // Each handler raises on its own line, so the line in the new exception tells which type was caught.
  // The message goes through "%s": a server's text may hold '%'.
  try {
    work();
  } catch (const std::domain_error& e) {
    throw Exception(nullptr, Status::kInvalidArgument, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::invalid_argument& e) {
    throw Exception(nullptr, Status::kInvalidArgument, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::length_error& e) {
    throw Exception(nullptr, Status::kOutOfRange, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::out_of_range& e) {
    throw Exception(nullptr, Status::kRuntimeError, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::logic_error& e) {
    throw Exception(nullptr, Status::kLogicError, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::range_error& e) {
    throw Exception(nullptr, Status::kOutOfRange, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::overflow_error& e) {
    throw Exception(nullptr, Status::kRuntimeError, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::underflow_error& e) {
    throw Exception(nullptr, Status::kRuntimeError, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::runtime_error& e) {
    throw Exception(nullptr, Status::kRuntimeError, kFunction, kFile, __LINE__, "%s", e.what());
  } catch (const std::exception& e) {
    throw Exception(nullptr, Status::kInternalError, kFunction, kFile, __LINE__, "%s", e.what());
  }
}

void rethrow_ks_to_std(const std::function<void()>& work) {
  try {
    work();
  } catch (const Exception& e) {
    switch (static_cast<int>(e.status())) {
      case 2:
      case 8:
      case 9:
      case 10:
      case 11: throw std::logic_error(e.message());
      case 5:
      case 19: throw std::out_of_range(e.message());
      case 6:
      case 7: throw std::invalid_argument(e.message());
      default: throw std::runtime_error(e.message());
    }
  }
}

}  // namespace ks
