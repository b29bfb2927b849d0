// The usbfs side of the simulated cables: what the Linux kernel's usbfs would answer a libusb program,
// computed from sim::Cable. One UMockdevIoctlBase per device node; umockdev calls it on its own thread.
#include "usbfs_cable.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

namespace ostrolink::testing {

// One URB between submission and reap. Holds umockdev's copies of the client's struct and buffer;
// the reap hands the struct back and umockdev writes both into the client's memory.
struct Urb {
    UMockdevIoctlClient* client = nullptr;  // the connection (open file) that submitted it
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    std::size_t length = 0;
    std::size_t done = 0;
    int status = 0;
    ~Urb()
    {
        if (buffer != nullptr) g_object_unref(buffer);
        if (urb != nullptr) g_object_unref(urb);
    }
    usbdevfs_urb* header() const { return static_cast<usbdevfs_urb*>(static_cast<void*>(urb->data)); }
    uint8_t* bytes() const { return buffer != nullptr ? static_cast<uint8_t*>(static_cast<void*>(buffer->data)) : nullptr; }
};

struct Device {
    Device(const EmulatedCableSpec& spec, std::size_t index)
        : cable(withSerial(spec), spec.printer), index(index), kernelDriver(spec.kernelDriver)
    {
        if (!spec.deviceId.empty()) cable.withPrinter([&](sim::Printer1284& p) { p.setDeviceId(spec.deviceId); });
    }
    static sim::CableConfig withSerial(const EmulatedCableSpec& spec)
    {
        sim::CableConfig config = spec.cable;
        config.serialNumber = spec.serialNumber;
        return config;
    }

    sim::Cable cable;
    std::size_t index;
    std::string kernelDriver;  // bound to the cable's interfaces until a client disconnects it
    std::string detachedDriver;
    UMockdevIoctlBase* handler = nullptr;
    gulong ioctlSignal = 0;
    gulong vanishedSignal = 0;

    std::mutex mutex;  // the URB state below
    std::map<uint8_t, std::deque<Urb*>> pending;  // per bulk endpoint, in submission order
    std::deque<Urb*> completed;                   // in completion order, each waiting for its client's reap
    bool unplugged = false;
    unsigned outInFlight = 0;  // bulk OUT URBs submitted and not reaped
    bool idle = false;         // the last reap found nothing and nothing was submitted since
    UrbStats stats;

    ~Device()
    {
        for (auto& [ep, queue] : pending)
            for (Urb* u : queue) delete u;
        for (Urb* u : completed) delete u;
    }
};

struct UsbfsCables::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::vector<std::unique_ptr<Device>> devices;
    mutable std::mutex mutex;  // the devices vector
};

namespace {

constexpr auto kIdleReap = 1000;  // µs: the wait before "nothing to reap"

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

void complete(Device& d, Urb* u, int status)
{
    u->status = status;
    d.completed.push_back(u);
}

// Moves bulk data for the URBs at the front of each endpoint's queue: an endpoint's URBs complete in order.
void progress(Device& d)
{
    for (auto& [ep, queue] : d.pending) {
        while (!queue.empty()) {
            Urb* u = queue.front();
            if (d.unplugged) {
                queue.pop_front();
                complete(d, u, -ENODEV);
                continue;
            }
            sim::BulkResult r;
            if (ep & 0x80) {
                r = d.cable.bulkIn(ep, std::span<uint8_t>(u->bytes(), u->length));
                if (r.status == sim::BulkStatus::Ack) u->done = r.length;
            } else {
                r = d.cable.bulkOut(ep, std::span<const uint8_t>(u->bytes() + u->done, u->length - u->done));
                if (r.status == sim::BulkStatus::Ack) u->done += r.length;
            }
            bool finished = false;
            int status = 0;
            switch (r.status) {
            case sim::BulkStatus::Ack: finished = (ep & 0x80) || u->done == u->length; break;
            case sim::BulkStatus::Nak: break;
            case sim::BulkStatus::Stall: finished = true; status = -EPIPE; break;
            case sim::BulkStatus::Error: finished = true; status = -EPROTO; break;
            }
            if (!finished) break;
            queue.pop_front();
            complete(d, u, status);
        }
    }
}

int controlUrb(Device& d, Urb* u)
{
    if (u->length < 8) return -EINVAL;
    const uint8_t* b = u->bytes();
    sim::SetupPacket setup{b[0], b[1], static_cast<uint16_t>(b[2] | b[3] << 8), static_cast<uint16_t>(b[4] | b[5] << 8),
                           static_cast<uint16_t>(b[6] | b[7] << 8)};
    if (u->length < 8u + setup.wLength) return -EINVAL;
    sim::ControlResult r = d.cable.control(setup, std::span<uint8_t>(u->bytes() + 8, setup.wLength));
    u->done = r.length;
    return r.status == sim::ControlStatus::Ack ? 0 : r.status == sim::ControlStatus::Stall ? -EPIPE : -EPROTO;
}

// A standard request that usbfs sends on the client's behalf (set configuration, set interface, clear halt).
int standardRequest(Device& d, uint8_t type, uint8_t request, uint16_t value, uint16_t index)
{
    sim::ControlResult r = d.cable.control({type, request, value, index, 0}, {});
    return r.ok() ? 0 : EPIPE;
}

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData)
{
    auto& d = *static_cast<Device*>(userData);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto finish = [&](long result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    };
    auto resolve = [&](std::size_t size) { return umockdev_ioctl_data_resolve(arg, 0, size, nullptr); };
    auto unsignedArg = [&]() -> unsigned {
        UMockdevIoctlData* v = resolve(sizeof(unsigned));
        unsigned value = 0;
        if (v != nullptr) {
            std::memcpy(&value, v->data, sizeof value);
            g_object_unref(v);
        }
        return value;
    };

    std::unique_lock lock(d.mutex);
    if (d.unplugged && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
        request != USBDEVFS_DISCARDURB && request != USBDEVFS_RELEASEINTERFACE)
        return finish(-1, ENODEV);

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* v = resolve(sizeof(uint32_t));
        uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(v->data, &caps, sizeof caps);
        g_object_unref(v);
        return finish(0, 0);
    }
    case USBDEVFS_GETDRIVER: {
        if (d.kernelDriver.empty()) return finish(-1, ENODATA);
        UMockdevIoctlData* v = resolve(sizeof(usbdevfs_getdriver));
        auto* g = static_cast<usbdevfs_getdriver*>(static_cast<void*>(v->data));
        std::snprintf(g->driver, sizeof g->driver, "%s", d.kernelDriver.c_str());
        g_object_unref(v);
        return finish(0, 0);
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData* v = resolve(sizeof(usbdevfs_ioctl));
        int code = static_cast<usbdevfs_ioctl*>(static_cast<void*>(v->data))->ioctl_code;
        g_object_unref(v);
        if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (d.kernelDriver.empty()) return finish(-1, ENODATA);
            d.detachedDriver = d.kernelDriver;
            d.kernelDriver.clear();
            return finish(0, 0);
        }
        if (code == static_cast<int>(USBDEVFS_CONNECT)) {
            d.kernelDriver = d.detachedDriver.empty() ? "usblp" : d.detachedDriver;
            return finish(0, 0);
        }
        return finish(-1, ENOTTY);
    }
    case USBDEVFS_CLAIMINTERFACE:
        (void)unsignedArg();
        return d.kernelDriver.empty() ? finish(0, 0) : finish(-1, EBUSY);
    case USBDEVFS_DISCONNECT_CLAIM:
        d.kernelDriver.clear();
        return finish(0, 0);
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_RESET:
        return finish(0, 0);
    case USBDEVFS_CLEAR_HALT: {
        // usbfs sends CLEAR_FEATURE(ENDPOINT_HALT) on the wire.
        unsigned ep = unsignedArg();
        int error = standardRequest(d, 0x02, sim::usb::kClearFeature, sim::usb::kEndpointHalt, static_cast<uint16_t>(ep));
        return error ? finish(-1, error) : finish(0, 0);
    }
    case USBDEVFS_SETCONFIGURATION: {
        unsigned value = unsignedArg();
        int error = standardRequest(d, 0x00, sim::usb::kSetConfiguration, static_cast<uint16_t>(value), 0);
        return error ? finish(-1, error) : finish(0, 0);
    }
    case USBDEVFS_SETINTERFACE: {
        UMockdevIoctlData* v = resolve(sizeof(usbdevfs_setinterface));
        usbdevfs_setinterface s{};
        std::memcpy(&s, v->data, sizeof s);
        g_object_unref(v);
        int error = standardRequest(d, 0x01, sim::usb::kSetInterface, static_cast<uint16_t>(s.altsetting),
                                    static_cast<uint16_t>(s.interface));
        return error ? finish(-1, error) : finish(0, 0);
    }
    case USBDEVFS_SUBMITURB: {
        d.idle = false;
        auto* u = new Urb;
        u->client = client;
        u->urb = resolve(sizeof(usbdevfs_urb));
        usbdevfs_urb* h = u->header();
        u->type = h->type;
        u->endpoint = h->endpoint;
        u->length = static_cast<std::size_t>(std::max(0, h->buffer_length));
        if (u->length > 0)
            u->buffer = umockdev_ioctl_data_resolve(u->urb, G_STRUCT_OFFSET(usbdevfs_urb, buffer), u->length, nullptr);
        if (u->length > 0 && u->buffer == nullptr) {
            delete u;
            return finish(-1, EFAULT);
        }
        if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
            ++d.stats.controlUrbs;
            int status = controlUrb(d, u);
            if (status == -EINVAL) {
                delete u;
                return finish(-1, EINVAL);
            }
            complete(d, u, status);
            return finish(0, 0);
        }
        if (u->type != USBDEVFS_URB_TYPE_BULK) {
            delete u;
            return finish(-1, EINVAL);
        }
        if (u->endpoint & 0x80) {
            ++d.stats.bulkInUrbs;
        } else {
            ++d.stats.bulkOutUrbs;
            d.stats.maxBulkOutInFlight = std::max(d.stats.maxBulkOutInFlight, ++d.outInFlight);
        }
        d.pending[u->endpoint].push_back(u);
        return finish(0, 0);
    }
    case USBDEVFS_DISCARDURB: {
        gulong address = 0;
        std::memcpy(&address, arg->data, sizeof address);
        for (auto& [ep, queue] : d.pending) {
            for (auto it = queue.begin(); it != queue.end(); ++it) {
                if ((*it)->client != client || (*it)->urb->client_addr != address) continue;
                Urb* u = *it;
                queue.erase(it);
                ++d.stats.discarded;
                complete(d, u, -ENOENT);
                return finish(0, 0);
            }
        }
        return finish(-1, EINVAL);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        auto mine = [&] {
            return std::find_if(d.completed.begin(), d.completed.end(), [&](Urb* u) { return u->client == client; });
        };
        progress(d);
        if (mine() == d.completed.end() && d.idle) {
            // Nothing for a second time in a row: answer a little later, so that a client that polls
            // does not spin (the first empty reap, which ends a round of reaping, is answered at once).
            lock.unlock();
            g_usleep(kIdleReap);
            lock.lock();
            progress(d);
        }
        auto found = mine();
        d.idle = found == d.completed.end();
        if (found == d.completed.end()) return finish(-1, d.unplugged ? ENODEV : EAGAIN);
        Urb* u = *found;
        d.completed.erase(found);
        usbdevfs_urb* h = u->header();
        h->status = u->status;
        h->actual_length = static_cast<int>(u->done);
        if (u->type == USBDEVFS_URB_TYPE_BULK && !(u->endpoint & 0x80)) --d.outInFlight;
        UMockdevIoctlData* pointer = resolve(sizeof(void*));
        umockdev_ioctl_data_set_ptr(pointer, 0, u->urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(pointer);
        delete u;
        return TRUE;
    }
    default:
        return FALSE;
    }
}

// A client closed its file (or exited): its URBs go, as usbfs discards them on close, so that they do
// not hold up the next client's URBs on the same endpoint.
void clientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData)
{
    auto& d = *static_cast<Device*>(userData);
    std::lock_guard lock(d.mutex);
    auto drop = [&](std::deque<Urb*>& queue) {
        for (auto it = queue.begin(); it != queue.end();) {
            if ((*it)->client != client) {
                ++it;
                continue;
            }
            if ((*it)->type == USBDEVFS_URB_TYPE_BULK && !((*it)->endpoint & 0x80)) --d.outInFlight;
            delete *it;
            it = queue.erase(it);
        }
    };
    for (auto& [ep, queue] : d.pending) drop(queue);
    drop(d.completed);
}

}  // namespace

UsbfsCables::UsbfsCables() : impl_(std::make_unique<Impl>())
{
    impl_->testbed = umockdev_testbed_new();
    if (impl_->testbed == nullptr) throw std::runtime_error("umockdev: cannot create a testbed");
}

UsbfsCables::~UsbfsCables()
{
    std::vector<std::unique_ptr<Device>> devices;
    {
        std::lock_guard lock(impl_->mutex);
        devices.swap(impl_->devices);
    }
    for (auto& d : devices) {
        umockdev_testbed_detach_ioctl(impl_->testbed, devnode(d->index).c_str(), nullptr);
        g_signal_handler_disconnect(d->handler, d->ioctlSignal);
        g_signal_handler_disconnect(d->handler, d->vanishedSignal);
        g_object_unref(d->handler);
    }
    g_object_unref(impl_->testbed);
}

std::size_t UsbfsCables::add(EmulatedCableSpec spec)
{
    std::size_t index = count();
    auto device = std::make_unique<Device>(spec, index);
    Device& d = *device;
    const unsigned address = static_cast<unsigned>(index + 2);
    // As the kernel enumerates a device: an address, then its first configuration.
    d.cable.control({0x00, sim::usb::kSetAddress, static_cast<uint16_t>(address), 0, 0}, {});
    d.cable.control({0x00, sim::usb::kSetConfiguration, d.cable.config().configurationValue, 0, 0}, {});
    d.cable.clearControlLog();

    d.handler = umockdev_ioctl_base_new();
    d.ioctlSignal = g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(handleIoctl), &d);
    d.vanishedSignal = g_signal_connect(d.handler, "client-vanished", G_CALLBACK(clientVanished), &d);
    {
        std::lock_guard lock(impl_->mutex);
        impl_->devices.push_back(std::move(device));
    }
    std::string node = devnode(index);
    GError* error = nullptr;
    // The handler first: a client may open the node as soon as the device appears.
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, node.c_str(), d.handler, &error)) {
        std::string message = error != nullptr ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("umockdev: cannot attach to " + node + ": " + message);
    }
    char devnum[8];
    std::snprintf(devnum, sizeof devnum, "%03u", address);
    std::vector<uint8_t> descriptors = d.cable.deviceDescriptor();
    const auto& configuration = d.cable.configurationDescriptor();
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    char product[32];
    std::snprintf(product, sizeof product, "%x/%x/%x", d.cable.config().vendorId, d.cable.config().productId,
                  d.cable.config().bcdDevice);
    std::string record = "P: /devices/usb1/" + location(index) + "\n" + "N: bus/usb/001/" + devnum + "\n" +
                         "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\n" + "E: DEVNUM=" + devnum +
                         "\n" + "E: DEVNAME=/dev/bus/usb/001/" + devnum + "\n" + "E: PRODUCT=" + product + "\n" +
                         "A: busnum=1\\n\nA: devnum=" + std::to_string(address) + "\\n\n" +
                         "A: bConfigurationValue=" + std::to_string(d.cable.configuration()) + "\\n\n" +
                         "A: speed=12\\n\n" + "H: descriptors=" + hex(descriptors) + "\n";
    if (!umockdev_testbed_add_from_string(impl_->testbed, record.c_str(), &error)) {
        std::string message = error != nullptr ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("umockdev: cannot add " + location(index) + ": " + message);
    }
    return index;
}

std::size_t UsbfsCables::count() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->devices.size();
}

static Device& deviceAt(UsbfsCables::Impl& impl, std::size_t index)
{
    std::lock_guard lock(impl.mutex);
    if (index >= impl.devices.size()) throw std::out_of_range("no emulated cable " + std::to_string(index));
    return *impl.devices[index];
}

sim::Cable& UsbfsCables::cable(std::size_t index)
{
    return deviceAt(*impl_, index).cable;
}

std::string UsbfsCables::location(std::size_t index) const
{
    return "1-" + std::to_string(index + 1);
}

std::string UsbfsCables::devnode(std::size_t index) const
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03zu", index + 2);
    return node;
}

void UsbfsCables::setPaperEmpty(std::size_t index, bool empty)
{
    cable(index).setPaperEmpty(empty);
}

void UsbfsCables::setOffline(std::size_t index, bool offline)
{
    cable(index).setOffline(offline);
}

void UsbfsCables::stallBulkOut(std::size_t index)
{
    sim::Cable& c = cable(index);
    for (const auto& itf : c.config().interfaces)
        for (const auto& alt : itf.alternates)
            for (const auto& ep : alt.endpoints)
                if (!ep.isIn() && ep.attributes == 0x02) c.haltEndpoint(ep.address);
}

void UsbfsCables::unplug(std::size_t index)
{
    Device& d = deviceAt(*impl_, index);
    {
        std::lock_guard lock(d.mutex);
        d.unplugged = true;
        progress(d);  // every pending URB completes with ENODEV
    }
    std::string path = "/sys/devices/usb1/" + location(index);
    umockdev_testbed_remove_device(impl_->testbed, path.c_str());
}

std::vector<uint8_t> UsbfsCables::printed(std::size_t index) const
{
    return deviceAt(*impl_, index).cable.printed();
}

std::string UsbfsCables::kernelDriver(std::size_t index) const
{
    Device& d = deviceAt(*impl_, index);
    std::lock_guard lock(d.mutex);
    return d.kernelDriver;
}

std::vector<sim::SetupPacket> UsbfsCables::controlLog(std::size_t index) const
{
    return deviceAt(*impl_, index).cable.controlLog();
}

UrbStats UsbfsCables::stats(std::size_t index) const
{
    Device& d = deviceAt(*impl_, index);
    std::lock_guard lock(d.mutex);
    return d.stats;
}

std::string UsbfsCables::rootDir() const
{
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string text = root;
    g_free(root);
    return text;
}

void UsbfsCables::ensurePreloaded(char** argv)
{
    if (preloaded()) return;
    constexpr char kMarker[] = "OSTROLINK_USBFS_REEXEC";
    if (std::getenv(kMarker) != nullptr)
        throw std::runtime_error(std::string("umockdev's preload library did not load: ") + OSTROLINK_UMOCKDEV_PRELOAD);
    setenv(kMarker, "1", 1);
    std::string preload = OSTROLINK_UMOCKDEV_PRELOAD;
    if (const char* other = std::getenv("LD_PRELOAD"); other != nullptr && *other != 0) preload += std::string(" ") + other;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    throw std::runtime_error(std::string("cannot start the program again under the preload: ") + std::strerror(errno));
}

std::vector<std::pair<std::string, std::string>> UsbfsCables::childEnvironment() const
{
    return {{"LD_PRELOAD", preloadLibrary()}, {"UMOCKDEV_DIR", rootDir()}};
}

std::string UsbfsCables::preloadLibrary()
{
    return OSTROLINK_UMOCKDEV_PRELOAD;
}

bool UsbfsCables::preloaded()
{
    // umockdev_in_mock_environment() also wants a testbed's UMOCKDEV_DIR; this asks only for the library.
    void* library = dlopen(OSTROLINK_UMOCKDEV_PRELOAD, RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) dlclose(library);
    return library != nullptr;
}

}  // namespace ostrolink::testing
