#pragma once
// The host's serial-port device: owns the port, the receive buffer and the
// line settings; the host's serial engine drives RefreshStatus and process.

#include <mutex>
#include <shared_mutex>

#include "host/enum_parity.h"
#include "host/zor_vdevice.h"

class ZorSPDevice : public ZorVDevice {
public:
    static constexpr unsigned kMsgBufCapacity = 256;

    ZorSPDevice();
    ~ZorSPDevice() override;

    int Reset() override;

    virtual int RefreshStatus();
    virtual int process(unsigned char* data, unsigned int length);
    virtual bool IsProcessing() const;
    virtual bool IsStalled() const;
    virtual int SendData(const unsigned char* data, unsigned int length);
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    virtual bool OpenPort();
    virtual void ClosePort();

    unsigned char addr_ = 0;
    unsigned char msg_buf[kMsgBufCapacity] = {};
    int msg_len = 0;
    int baud_rate_ = 9600;

protected:
    std::mutex port_mutex_;
    std::shared_mutex state_mutex_;
};
