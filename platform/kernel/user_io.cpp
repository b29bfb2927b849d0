// User-mode device I/O through the I/O manager.
#include "kernel/user_io.h"

#include <algorithm>
#include <cstring>

#include "kernel/io_internal.h"
#include "kernel/irql.h"

namespace w98 {

namespace {
constexpr CSHORT kIoTypeFile = 5;

}  // namespace

// Named rather than anonymous: UserIo::Impl, a class with linkage, holds it (in a unity build GCC warns of
// such a member, -Wsubobject-linkage, as this file is then included in another).
namespace user_io_detail {
struct HandleRecord {
  std::unique_ptr<FILE_OBJECT> file;
  std::u16string fileName;
  DEVICE_OBJECT* device = nullptr;  // the named device the handle was opened on
  int inFlight = 0;                 // changed inside clock().update()
};
}  // namespace user_io_detail
using user_io_detail::HandleRecord;

struct UserIo::Request::State {
  Kernel* kernel = nullptr;
  IRP* irp = nullptr;
  uint64_t serial = 0;
  bool completed = false;  // changed inside clock().update()
  NTSTATUS returned = STATUS_PENDING;
  Result result;
  // Buffers the request owns.
  std::vector<uint8_t> systemBuffer;
  MDL mdl{};
  void* output = nullptr;
  uint32_t outputLength = 0;
  bool copyOut = false;
};

struct UserIo::Impl {
  explicit Impl(Kernel& k) : kernel(k) {}
  Kernel& kernel;
  mutable std::mutex mutex;
  std::map<Handle, std::shared_ptr<HandleRecord>> handles;
  Handle next = 4;

  std::shared_ptr<HandleRecord> find(Handle h) {
    std::lock_guard lock(mutex);
    auto it = handles.find(h);
    return it == handles.end() ? nullptr : it->second;
  }

  static void describe(PMDL mdl, void* buffer, uint32_t length) {
    std::memset(mdl, 0, sizeof *mdl);
    auto va = reinterpret_cast<uintptr_t>(buffer);
    mdl->Size = sizeof(MDL);
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~static_cast<uintptr_t>(PAGE_SIZE - 1));
    mdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
  }

  // Builds a request for the handle's device stack; `setup` fills the stack location and buffers.
  std::shared_ptr<Request::State> submit(const std::shared_ptr<HandleRecord>& handle, UCHAR major,
                                         const std::function<void(IRP*, PIO_STACK_LOCATION, Request::State&)>& setup) {
    auto state = std::make_shared<Request::State>();
    state->kernel = &kernel;
    IoManager& io = kernel.io();
    DEVICE_OBJECT* target = io.topOfStack(handle->device);
    if (target == nullptr) {
      state->completed = true;
      state->returned = STATUS_NO_SUCH_DEVICE;
      state->result = {STATUS_NO_SUCH_DEVICE, 0};
      return state;
    }
    Clock& clock = kernel.clock();
    Verifier& verifier = kernel.verifier();
    std::shared_ptr<HandleRecord> h = handle;
    IRP* irp = io.allocateOwnedIrp(target, [state, h, &clock, &verifier](IRP* i) {
      NTSTATUS status = i->IoStatus.Status;
      ULONG_PTR information = i->IoStatus.Information;
      if (state->copyOut && !NT_ERROR(status)) {
        size_t n = information;
        if (n > state->outputLength) {
          verifier.report(Fault::BadCompletion, "request completed with " + std::to_string(information) +
                                                    " bytes of information for an output buffer of " +
                                                    std::to_string(state->outputLength));
          n = state->outputLength;
        }
        if (n > 0) std::memcpy(state->output, state->systemBuffer.data(), n);
      }
      clock.update([&] {
        state->result = {status, information};
        state->completed = true;
        state->irp = nullptr;
        --h->inFlight;
      });
    });
    state->irp = irp;
    {
      auto& impl = io.impl();
      std::lock_guard lock(impl.mutex);
      state->serial = impl.irp(irp)->serial;
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = handle->file.get();
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = handle->file.get();
    setup(irp, sp, *state);
    clock.update([&] { ++handle->inFlight; });
    NTSTATUS returned = IofCallDriver(target, irp);
    clock.update([&] { state->returned = returned; });
    return state;
  }

  // The synchronous form: waits only when the dispatch routine returned STATUS_PENDING.
  Result finish(const std::shared_ptr<Request::State>& state, const char* call) {
    Clock& clock = kernel.clock();
    NTSTATUS returned = STATUS_PENDING;
    bool completed = false;
    Result result;
    clock.update([&] {
      returned = state->returned;
      completed = state->completed;
      result = state->result;
    });
    if (returned != STATUS_PENDING) {
      return {returned, completed ? result.information : 0};
    }
    const std::string& thread = threadName();
    auto what = [&] { return std::string(call) + " waiting for its request on " + thread; };
    clock.waitUntil([&] { return state->completed; }, what);
    clock.update([&] { result = state->result; });
    return result;
  }

  NTSTATUS simple(const std::shared_ptr<HandleRecord>& handle, UCHAR major, const char* call) {
    auto state = submit(handle, major, [](IRP*, PIO_STACK_LOCATION, Request::State&) {});
    return finish(state, call).status;
  }
};

// ------------------------------------------------------------------------------------------ Request

NtStatus UserIo::Request::returned() const {
  NTSTATUS r = STATUS_PENDING;
  state_->kernel->clock().update([&] { r = state_->returned; });
  return r;
}

bool UserIo::Request::completed() const {
  bool c = false;
  state_->kernel->clock().update([&] { c = state_->completed; });
  return c;
}

UserIo::Result UserIo::Request::wait() {
  auto state = state_;
  const std::string& thread = threadName();
  auto what = [&] { return "a user request to complete on " + thread; };
  state->kernel->clock().waitUntil([state] { return state->completed; }, what);
  Result r;
  state->kernel->clock().update([&] { r = state->result; });
  return r;
}

std::optional<UserIo::Result> UserIo::Request::waitUntil(int64_t deadline) {
  auto state = state_;
  const std::string& thread = threadName();
  auto what = [&] { return "a user request to complete (with a time-out) on " + thread; };
  if (!state->kernel->clock().waitUntil([state] { return state->completed; }, what, deadline))
    return std::nullopt;
  Result r;
  state->kernel->clock().update([&] { r = state->result; });
  return r;
}

bool UserIo::Request::cancel() {
  Kernel& k = *state_->kernel;
  IRP* irp = nullptr;
  k.clock().update([&] { irp = state_->completed ? nullptr : state_->irp; });
  if (irp == nullptr) return false;
  auto& impl = k.io().impl();
  {
    std::lock_guard lock(impl.mutex);
    IrpRecord* r = impl.irp(irp);
    if (r == nullptr || r->serial != state_->serial || r->finished || r->freeRequested) return false;
    ++r->holds;
  }
  BOOLEAN result = IoCancelIrp(irp);
  std::lock_guard lock(impl.mutex);
  if (IrpRecord* r = impl.irp(irp)) {
    --r->holds;
    impl.releaseIrp(r);
  }
  return result != FALSE;
}

// ------------------------------------------------------------------------------------------ UserIo

UserIo::UserIo(Kernel& kernel) : impl_(std::make_unique<Impl>(kernel)) {}

UserIo::~UserIo() = default;

UserIo::OpenResult UserIo::open(std::string_view path) {
  Kernel& k = impl_->kernel;
  requireIrql("UserIo::open", PASSIVE_LEVEL);
  std::string rest;
  NTSTATUS status = STATUS_SUCCESS;
  DEVICE_OBJECT* device = k.io().referenceForOpen(path, &rest, &status);
  if (device == nullptr) return {status, kInvalidHandle};

  auto handle = std::make_shared<HandleRecord>();
  handle->device = device;
  handle->file = std::make_unique<FILE_OBJECT>();
  FILE_OBJECT* file = handle->file.get();
  std::memset(file, 0, sizeof *file);
  file->Type = kIoTypeFile;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  file->ReadAccess = file->WriteAccess = TRUE;
  handle->fileName.assign(rest.begin(), rest.end());
  file->FileName.Buffer = handle->fileName.empty() ? nullptr : handle->fileName.data();
  file->FileName.Length = static_cast<USHORT>(handle->fileName.size() * sizeof(WCHAR));
  file->FileName.MaximumLength = file->FileName.Length;
  for (KEVENT* e : {&file->Lock, &file->Event}) {
    e->Header.Type = SynchronizationEvent;
    InitializeListHead(&e->Header.WaitListHead);
  }

  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = GENERIC_READ | GENERIC_WRITE;
  auto state = impl_->submit(handle, IRP_MJ_CREATE, [&](IRP* irp, PIO_STACK_LOCATION sp, Request::State&) {
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    sp->Parameters.Create.SecurityContext = &security;
    sp->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    sp->Parameters.Create.ShareAccess = 0;
  });
  Result result = impl_->finish(state, "CreateFile");
  if (!NT_SUCCESS(result.status)) {
    // The request may still be outstanding if the driver neither completed it nor returned pending;
    // the file object then stays with the handle record, which the request keeps alive.
    if (state->completed || state->returned == STATUS_PENDING) k.io().releaseHandleReference(device);
    return {result.status, kInvalidHandle};
  }
  std::lock_guard lock(impl_->mutex);
  Handle h = impl_->next;
  impl_->next += 4;
  impl_->handles[h] = handle;
  return {STATUS_SUCCESS, h};
}

NtStatus UserIo::close(Handle h) {
  Kernel& k = impl_->kernel;
  requireIrql("UserIo::close", PASSIVE_LEVEL);
  std::shared_ptr<HandleRecord> handle;
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->handles.find(h);
    if (it == impl_->handles.end()) return STATUS_INVALID_HANDLE;
    handle = it->second;
    impl_->handles.erase(it);
  }
  impl_->simple(handle, IRP_MJ_CLEANUP, "CloseHandle (cleanup)");
  // The file object goes once every request on it is done.
  const std::string& thread = threadName();
  auto what = [&] { return "CloseHandle waiting for the handle's requests to complete on " + thread; };
  k.clock().waitUntil([&] { return handle->inFlight == 0; }, what);
  impl_->simple(handle, IRP_MJ_CLOSE, "CloseHandle (close)");
  k.io().releaseHandleReference(handle->device);
  return STATUS_SUCCESS;
}

// What a request on a handle that is not open gives: completed at once, nothing sent.
UserIo::RequestPtr UserIo::invalidHandleRequest() const {
  auto s = std::make_shared<Request::State>();
  s->kernel = &impl_->kernel;
  s->completed = true;
  s->returned = STATUS_INVALID_HANDLE;
  s->result = {STATUS_INVALID_HANDLE, 0};
  return std::make_shared<Request>(s);
}

UserIo::RequestPtr UserIo::readAsync(Handle h, void* buffer, uint32_t length) {
  requireIrql("ReadFile", PASSIVE_LEVEL);
  auto handle = impl_->find(h);
  if (!handle) return invalidHandleRequest();
  auto state = impl_->submit(handle, IRP_MJ_READ, [&](IRP* irp, PIO_STACK_LOCATION sp, Request::State& st) {
    irp->Flags = IRP_READ_OPERATION;
    sp->Parameters.Read.Length = length;
    sp->Parameters.Read.ByteOffset = handle->file->CurrentByteOffset;
    irp->UserBuffer = buffer;
    DEVICE_OBJECT* target = impl_->kernel.io().topOfStack(handle->device);
    if (target->Flags & DO_BUFFERED_IO) {
      st.systemBuffer.assign(length, 0);
      irp->AssociatedIrp.SystemBuffer = length > 0 ? st.systemBuffer.data() : nullptr;
      st.output = buffer;
      st.outputLength = length;
      st.copyOut = length > 0;
    } else if ((target->Flags & DO_DIRECT_IO) && length > 0) {
      Impl::describe(&st.mdl, buffer, length);
      irp->MdlAddress = &st.mdl;
    }
  });
  return std::make_shared<Request>(state);
}

UserIo::RequestPtr UserIo::writeAsync(Handle h, const void* buffer, uint32_t length) {
  requireIrql("WriteFile", PASSIVE_LEVEL);
  auto handle = impl_->find(h);
  if (!handle) return invalidHandleRequest();
  void* data = const_cast<void*>(buffer);
  auto state = impl_->submit(handle, IRP_MJ_WRITE, [&](IRP* irp, PIO_STACK_LOCATION sp, Request::State& st) {
    irp->Flags = IRP_WRITE_OPERATION;
    sp->Parameters.Write.Length = length;
    sp->Parameters.Write.ByteOffset = handle->file->CurrentByteOffset;
    irp->UserBuffer = data;
    DEVICE_OBJECT* target = impl_->kernel.io().topOfStack(handle->device);
    if (target->Flags & DO_BUFFERED_IO) {
      st.systemBuffer.assign(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + length);
      irp->AssociatedIrp.SystemBuffer = length > 0 ? st.systemBuffer.data() : nullptr;
    } else if ((target->Flags & DO_DIRECT_IO) && length > 0) {
      Impl::describe(&st.mdl, data, length);
      irp->MdlAddress = &st.mdl;
    }
  });
  return std::make_shared<Request>(state);
}

UserIo::RequestPtr UserIo::deviceControlAsync(Handle h, uint32_t code, const void* input, uint32_t inputLength,
                                              void* output, uint32_t outputLength) {
  requireIrql("DeviceIoControl", PASSIVE_LEVEL);
  auto handle = impl_->find(h);
  if (!handle) return invalidHandleRequest();
  auto state = impl_->submit(handle, IRP_MJ_DEVICE_CONTROL, [&](IRP* irp, PIO_STACK_LOCATION sp, Request::State& st) {
    sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    irp->UserBuffer = output;
    switch (code & 3) {
      case METHOD_BUFFERED: {
        size_t size = std::max(inputLength, outputLength);
        if (size > 0) {
          st.systemBuffer.assign(size, 0);
          if (input != nullptr && inputLength > 0) std::memcpy(st.systemBuffer.data(), input, inputLength);
          irp->AssociatedIrp.SystemBuffer = st.systemBuffer.data();
        }
        st.output = output;
        st.outputLength = output != nullptr ? outputLength : 0;
        st.copyOut = output != nullptr && outputLength > 0;
        break;
      }
      case METHOD_IN_DIRECT:
      case METHOD_OUT_DIRECT:
        if (input != nullptr && inputLength > 0) {
          st.systemBuffer.assign(static_cast<const uint8_t*>(input), static_cast<const uint8_t*>(input) + inputLength);
          irp->AssociatedIrp.SystemBuffer = st.systemBuffer.data();
        }
        if (output != nullptr && outputLength > 0) {
          Impl::describe(&st.mdl, output, outputLength);
          irp->MdlAddress = &st.mdl;
        }
        break;
      default:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        break;
    }
  });
  return std::make_shared<Request>(state);
}

UserIo::Result UserIo::read(Handle h, void* buffer, uint32_t length) {
  auto r = readAsync(h, buffer, length);
  // Request::State is reachable through the Request; reuse the synchronous rule.
  NTSTATUS returned = r->returned();
  if (returned != STATUS_PENDING) {
    bool done = r->completed();
    return {returned, done ? r->wait().information : 0};
  }
  return r->wait();
}

UserIo::Result UserIo::write(Handle h, const void* buffer, uint32_t length) {
  auto r = writeAsync(h, buffer, length);
  NTSTATUS returned = r->returned();
  if (returned != STATUS_PENDING) {
    bool done = r->completed();
    return {returned, done ? r->wait().information : 0};
  }
  return r->wait();
}

UserIo::Result UserIo::deviceControl(Handle h, uint32_t code, const void* input, uint32_t inputLength, void* output,
                                     uint32_t outputLength) {
  auto r = deviceControlAsync(h, code, input, inputLength, output, outputLength);
  NTSTATUS returned = r->returned();
  if (returned != STATUS_PENDING) {
    bool done = r->completed();
    return {returned, done ? r->wait().information : 0};
  }
  return r->wait();
}

size_t UserIo::openHandles() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->handles.size();
}

_FILE_OBJECT* UserIo::fileObject(Handle h) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->handles.find(h);
  return it == impl_->handles.end() ? nullptr : it->second->file.get();
}

void UserIo::closeAll() {
  std::vector<Handle> open;
  {
    std::lock_guard lock(impl_->mutex);
    for (auto& [h, rec] : impl_->handles) open.push_back(h);
  }
  for (Handle h : open) close(h);
}

}  // namespace w98
