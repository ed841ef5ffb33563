#include "modbus_peer.h"

#include "bench_support.h"

#include <modbus/modbus.h>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr int kRegisters = 10000; // holds the largest word count read

} // namespace

ModbusServer::ModbusServer(int latencyMs) : latencyMs(latencyMs) {}

ModbusServer::~ModbusServer()
{
    stop();
}

bool ModbusServer::start()
{
    context = modbus_new_tcp("127.0.0.1", 0);
    if (!context) {
        return false;
    }
    listenFd = modbus_tcp_listen(context, 1);
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (listenFd < 0 || getsockname(listenFd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) {
        stop();
        return false;
    }
    boundPort = ntohs(bound.sin_port);
    thread = std::thread([this] { serve(); });
    return true;
}

// One client, until it goes away: the benchmark connects exactly once.
void ModbusServer::serve()
{
    prctl(PR_SET_TIMERSLACK, 1UL); // the added latency to the microsecond, like the simulator's
    int fd = listenFd;
    if (modbus_tcp_accept(context, &fd) < 0) {
        return;
    }
    clientFd = modbus_get_socket(context);
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, kRegisters, 0);
    for (int i = 0; i < kRegisters; ++i) {
        mapping->tab_registers[i] = static_cast<uint16_t>(0x4161 + i);
    }
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        const int length = modbus_receive(context, query);
        if (length == 0) {
            continue; // not for this unit
        }
        if (length < 0) {
            break;
        }
        preciseSleepMs(latencyMs);
        if (modbus_reply(context, query, length, mapping) < 0) {
            break;
        }
    }
    modbus_mapping_free(mapping);
}

void ModbusServer::stop()
{
    if (listenFd >= 0) {
        shutdown(listenFd, SHUT_RDWR); // wakes an accept that no client came to
    }
    if (clientFd >= 0) {
        shutdown(clientFd, SHUT_RDWR); // and a receive from a client that stays
    }
    if (thread.joinable()) {
        thread.join();
    }
    if (listenFd >= 0) {
        close(listenFd);
    }
    listenFd = -1;
    if (context) {
        modbus_close(context);
        modbus_free(context);
    }
    context = nullptr;
}

ModbusClient::~ModbusClient()
{
    if (context) {
        modbus_close(context);
        modbus_free(context);
    }
}

bool ModbusClient::connect(int port)
{
    context = modbus_new_tcp("127.0.0.1", port);
    if (!context) {
        return false;
    }
    modbus_set_response_timeout(context, 5, 0);
    return modbus_connect(context) == 0;
}

int ModbusClient::readRegisters(int first, int count, std::vector<uint16_t>& registers)
{
    registers.resize(static_cast<size_t>(count));
    int requests = 0;
    for (int done = 0; done < count; done += MODBUS_MAX_READ_REGISTERS) {
        const int part = std::min(MODBUS_MAX_READ_REGISTERS, count - done);
        if (modbus_read_registers(context, first + done, part, registers.data() + done) != part) {
            return -1;
        }
        ++requests;
    }
    return requests;
}

} // namespace bench
