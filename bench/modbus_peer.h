#pragma once
// The peer the driver is compared with: a libmodbus TCP server on 127.0.0.1 (its own thread, one
// client) that waits the added latency before each reply, and a libmodbus client that reads a
// run of holding registers in as few requests as Modbus allows (125 registers each).

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

typedef struct _modbus modbus_t;

namespace bench {

class ModbusServer
{
public:
    explicit ModbusServer(int latencyMs);
    ~ModbusServer(); // stops and joins
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    bool start(); // listening on a free loopback port on return when true
    int port() const { return boundPort; }
    void stop();

private:
    void serve();

    const int latencyMs;
    modbus_t* context = nullptr;
    int listenFd = -1;
    int boundPort = 0;
    std::atomic<int> clientFd{-1};
    std::thread thread;
};

class ModbusClient
{
public:
    ~ModbusClient();
    bool connect(int port);
    // Reads registers first .. first + count - 1 into registers[0 ..]; returns the requests it
    // took, or -1 on a failure.
    int readRegisters(int first, int count, std::vector<uint16_t>& registers);
    // Reads registers 0 .. words - 1.
    int readWords(int words, std::vector<uint16_t>& registers)
    {
        return readRegisters(0, words, registers);
    }

private:
    modbus_t* context = nullptr;
};

} // namespace bench
