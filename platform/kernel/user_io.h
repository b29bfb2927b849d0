// The user-mode side of device I/O, as CreateFile/ReadFile/WriteFile/DeviceIoControl/CloseHandle reach a
// driver through the I/O manager: open "\\.\NAME" through its \DosDevices link (IRP_MJ_CREATE with a file
// object; a second open of an exclusive device is refused with STATUS_ACCESS_DENIED), read and write with
// the device's buffering method (direct I/O: an MDL over the caller's buffer), device control with the
// control code's method (METHOD_BUFFERED: one system buffer of max(in, out) bytes; the completed request's
// Information bytes are copied back), close (IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once the handle's requests
// are done, then the handle's reference on the device is dropped).
//
// The synchronous calls wait when the dispatch routine returned STATUS_PENDING and otherwise take the status
// it returned, as Windows does for synchronous handles. The asynchronous forms return at once with a
// Request that can be waited for or cancelled (IoCancelIrp); the caller's buffers must stay alive until the
// request is complete. All calls are made by participants at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "kernel/io_manager.h"

namespace w98 {

class UserIo {
 public:
  using Handle = uint32_t;
  static constexpr Handle kInvalidHandle = 0;

  struct Result {
    NtStatus status = 0;
    uint64_t information = 0;  // bytes transferred (IoStatus.Information; 0 when the call failed early)
  };
  struct OpenResult {
    NtStatus status = 0;
    Handle handle = kInvalidHandle;
  };

  class Request {
   public:
    NtStatus returned() const;  // what the dispatch routine returned
    bool completed() const;
    Result wait();               // waits (as a participant) until the request has completed
    // Waits until the request has completed or virtual time reaches `deadline` (nullopt then).
    std::optional<Result> waitUntil(int64_t deadline);
    bool cancel();               // IoCancelIrp; false when the request had already completed
    struct State;
    explicit Request(std::shared_ptr<State> state) : state_(std::move(state)) {}

   private:
    std::shared_ptr<State> state_;
  };
  using RequestPtr = std::shared_ptr<Request>;

  explicit UserIo(Kernel& kernel);
  ~UserIo();
  UserIo(const UserIo&) = delete;
  UserIo& operator=(const UserIo&) = delete;

  OpenResult open(std::string_view path);
  NtStatus close(Handle handle);
  Result read(Handle handle, void* buffer, uint32_t length);
  Result write(Handle handle, const void* buffer, uint32_t length);
  Result deviceControl(Handle handle, uint32_t code, const void* input, uint32_t inputLength, void* output,
                       uint32_t outputLength);

  // STATUS_INVALID_HANDLE requests come back already completed.
  RequestPtr readAsync(Handle handle, void* buffer, uint32_t length);
  RequestPtr writeAsync(Handle handle, const void* buffer, uint32_t length);
  RequestPtr deviceControlAsync(Handle handle, uint32_t code, const void* input, uint32_t inputLength,
                                void* output, uint32_t outputLength);

  size_t openHandles() const;
  _FILE_OBJECT* fileObject(Handle handle) const;  // for tests
  // Closes every handle still open (kernel teardown).
  void closeAll();

  struct Impl;

 private:
  RequestPtr invalidHandleRequest() const;
  std::unique_ptr<Impl> impl_;
};

}  // namespace w98
