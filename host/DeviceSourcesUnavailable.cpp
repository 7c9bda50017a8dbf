// The Windows build has neither libmodbus nor libmosquitto: device and broker sources
// are refused with a reason instead of failing to link.
#include "host/ModbusSource.h"
#include "host/MqttSource.h"

namespace {

const char* const kNeedsLinux = "needs the Linux host (this build has no Modbus or MQTT library)";

// Gives no frame and says why once.
class CUnavailableSource : public CLiveSource {
public:
    explicit CUnavailableSource(std::string why) : m_why(std::move(why)) {}
    bool Poll(std::vector<CDataFrame>&, std::vector<std::string>& errors, int) override {
        errors.push_back(m_why);
        return false;
    }

private:
    const std::string m_why;
};

}  // namespace

std::optional<CDataFrame> ModbusSource::ReadOnce(const CModbusDevice&, const DateTime&,
                                                 std::string& error) {
    error = std::string("reading a Modbus device ") + kNeedsLinux;
    return std::nullopt;
}

std::unique_ptr<CLiveSource> ModbusSource::Poll(std::vector<CModbusDevice>) {
    return std::make_unique<CUnavailableSource>(std::string("polling Modbus devices ") +
                                                kNeedsLinux);
}

std::unique_ptr<CLiveSource> MqttSource::Subscribe(const CMqttOptions&, std::string& error) {
    error = std::string("subscribing to an MQTT broker ") + kNeedsLinux;
    return nullptr;
}
