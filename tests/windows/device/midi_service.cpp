#include "midi_service.h"

#include <algorithm>

namespace {

constexpr auto longestWait = std::chrono::seconds(1);
constexpr auto failingTime = std::chrono::seconds(2);
// The interface holds one message besides the one on the cable.
constexpr std::size_t interfaceMessages = 2;
constexpr DWORD_PTR inputFlag = 0x100;
constexpr std::uint8_t midiClock = 0xF8;

MidiService* service = nullptr;

}  // namespace

MidiService::MidiService(TestMidiDriver& driver, bool clockInReplies, bool portGap)
    : driver_(driver), clockInReplies_(clockInReplies), portGap_(portGap) {
    service = this;
    inputs_.resize(driver_.InputMessage(0, MIDM_GETNUMDEVS, 0, 0, 0));
    outputs_.resize(driver_.OutputMessage(0, MODM_GETNUMDEVS, 0, 0, 0));
}

DWORD MidiService::Driver(bool input, std::uint8_t port, UINT message, DWORD_PTR parameter1,
                          DWORD_PTR parameter2) {
    DWORD_PTR user = 0;
    const auto pointer = reinterpret_cast<DWORD_PTR>(&user);
    return input ? driver_.InputMessage(port, message, pointer, parameter1, parameter2)
                 : driver_.OutputMessage(port, message, pointer, parameter1, parameter2);
}

std::string MidiService::PortList() {
    std::string list;
    for (std::size_t index = 0; index < inputs_.size() + outputs_.size(); ++index) {
        const bool input = index < inputs_.size();
        const auto port = static_cast<std::uint8_t>(input ? index : index - inputs_.size());
        // The device's ports come last.
        if (portGap_ && port + 1u == (input ? inputs_.size() : outputs_.size()))
            list += '\n';
        // The longer of the two kinds of capabilities: the name sits at the same place.
        MIDIOUTCAPSW capabilities{};
        Driver(input, port, input ? MIDM_GETDEVCAPS : MODM_GETDEVCAPS,
               reinterpret_cast<DWORD_PTR>(&capabilities),
               input ? sizeof(MIDIINCAPSW) : sizeof capabilities);
        for (const WCHAR* character = capabilities.szPname; *character != 0; ++character)
            list += static_cast<char>(*character);
        list += '\n';
    }
    return list;
}

void MidiService::Serve(std::shared_ptr<PipeLink> link) {
    std::optional<Frame> hello = link->Read();
    if (!hello || hello->kind != FrameKind::hello)
        return;
    std::uint32_t client;
    {
        const std::lock_guard lock(mutex_);
        client = nextClient_++;
        clients_[client] = {std::string(hello->bytes.begin(), hello->bytes.end()), link};
        driver_.Note("client " + clients_[client].name + " connected");
        const std::string list = PortList();
        link->Write({FrameKind::ports,
                     static_cast<std::uint8_t>(inputs_.size() + (portGap_ ? 1 : 0)),
                     {list.begin(), list.end()}});
    }
    while (const std::optional<Frame> frame = link->Read()) {
        const std::lock_guard lock(mutex_);
        Handle(client, *frame);
    }
    Leave(client);
}

void MidiService::Handle(std::uint32_t client, const Frame& frame) {
    const std::uint8_t port = frame.port;
    const bool input = frame.kind >= FrameKind::openInput && frame.kind <= FrameKind::closeInput;
    if (port >= (input ? inputs_.size() : outputs_.size()))
        return;
    switch (frame.kind) {
        case FrameKind::openInput:
            ++inputs_[port].opens[client];
            break;
        case FrameKind::startInput:
            inputs_[port].started[client] = true;
            StartInput(port);
            break;
        case FrameKind::stopInput:
            inputs_[port].started.erase(client);
            StopInput(port);
            break;
        case FrameKind::closeInput:
            if (--inputs_[port].opens[client] == 0)
                inputs_[port].opens.erase(client);
            break;
        case FrameKind::openOutput:
            if (!outputs_[port].open) {
                MIDIOPENDESC description{};
                description.dwCallback = reinterpret_cast<DWORD_PTR>(&Notice);
                description.dwInstance = port;
                outputs_[port].open =
                    Driver(false, port, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&description),
                           CALLBACK_FUNCTION) == MMSYSERR_NOERROR;
            }
            ++outputs_[port].opens[client];
            outputs_[port].closeBy = {};
            break;
        case FrameKind::closeOutput:
            if (--outputs_[port].opens[client] == 0)
                outputs_[port].opens.erase(client);
            CloseOutputWhenDone(port);
            break;
        case FrameKind::send:
            Send(client, port, frame.bytes);
            break;
        default:
            break;
    }
}

bool MidiService::Listened(const Input& input) const {
    return !input.started.empty();
}

void MidiService::StartInput(std::uint8_t port) {
    Input& input = inputs_[port];
    if (input.open)
        return;
    MIDIOPENDESC description{};
    description.dwCallback = reinterpret_cast<DWORD_PTR>(&Notice);
    description.dwInstance = port | inputFlag;
    if (Driver(true, port, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&description),
               CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return;
    input.open = true;
    for (std::size_t index = 0; index < inputBuffers; ++index) {
        MIDIHDR& header = input.headers[index];
        header = MIDIHDR{};
        header.lpData = input.buffers[index].data();
        header.dwBufferLength = static_cast<DWORD>(input.buffers[index].size());
        const auto pointer = reinterpret_cast<DWORD_PTR>(&header);
        Driver(true, port, MIDM_PREPARE, pointer, sizeof header);
        Driver(true, port, MIDM_ADDBUFFER, pointer, sizeof header);
    }
    Driver(true, port, MIDM_START);
}

void MidiService::StopInput(std::uint8_t port) {
    Input& input = inputs_[port];
    if (!input.open || Listened(input))
        return;
    // Cleared first: the buffers the reset hands back are not queued again.
    input.open = false;
    Driver(true, port, MIDM_RESET);
    for (MIDIHDR& header : input.headers)
        Driver(true, port, MIDM_UNPREPARE, reinterpret_cast<DWORD_PTR>(&header), sizeof header);
    Driver(true, port, MIDM_CLOSE);
}

void MidiService::CloseOutputWhenDone(std::uint8_t port) {
    Output& output = outputs_[port];
    if (!output.open || !output.opens.empty())
        return;
    if (output.closeBy == Clock::time_point{})
        output.closeBy = Clock::now() + longestWait;
    if (!output.taken.empty() && Clock::now() < output.closeBy)
        return;
    // What is still on its way (a stalled cable) is cut off.
    Driver(false, port, MODM_RESET);
    output.taken.clear();
    output.waiting.clear();
    Driver(false, port, MODM_CLOSE);
    output.open = false;
    output.closeBy = {};
}

void MidiService::Send(std::uint32_t client, std::uint8_t port, std::vector<std::uint8_t> bytes) {
    Output& output = outputs_[port];
    if (!output.opens.contains(client)) {
        Answer(client, port, MMSYSERR_INVALHANDLE);
        return;
    }
    if (Clock::now() < output.failingUntil) {
        Answer(client, port, MMSYSERR_ERROR);
        return;
    }
    output.waiting.push_back({client, std::move(bytes), Clock::now()});
    HandOn(port);
}

void MidiService::HandOn(std::uint8_t port) {
    Output& output = outputs_[port];
    while (output.open && !output.waiting.empty() && output.taken.size() < interfaceMessages) {
        Message message = std::move(output.waiting.front());
        output.waiting.pop_front();
        message.header = std::make_unique<MIDIHDR>();
        message.header->lpData = reinterpret_cast<LPSTR>(message.bytes.data());
        message.header->dwBufferLength = static_cast<DWORD>(message.bytes.size());
        const auto pointer = reinterpret_cast<DWORD_PTR>(message.header.get());
        Driver(false, port, MODM_PREPARE, pointer, sizeof(MIDIHDR));
        const auto client = clients_.find(message.client);
        driver_.Note("output " + std::to_string(port) + " from " +
                     (client != clients_.end() ? client->second.name : "a client gone") + ": " +
                     HexBytes(message.bytes));
        const MMRESULT result = Driver(false, port, MODM_LONGDATA, pointer, sizeof(MIDIHDR));
        const std::uint32_t sender = message.client;
        if (result == MMSYSERR_NOERROR)
            output.taken.push_back(std::move(message));
        Answer(sender, port, result);
    }
}

void MidiService::Answer(std::uint32_t client, std::uint8_t port, MMRESULT result) {
    const auto found = clients_.find(client);
    if (found != clients_.end())
        found->second.link->Write({FrameKind::sent, port, {static_cast<std::uint8_t>(result)}});
}

void MidiService::Tick() {
    const std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    for (std::uint8_t port = 0; port < outputs_.size(); ++port) {
        Output& output = outputs_[port];
        while (!output.waiting.empty() && now - output.waiting.front().since >= longestWait) {
            const std::uint32_t client = output.waiting.front().client;
            output.waiting.pop_front();
            output.failingUntil = now + failingTime;
            driver_.Note("output " + std::to_string(port) +
                         ": a message waited 1 s, sends fail for 2 s");
            Answer(client, port, MMSYSERR_ERROR);
        }
        CloseOutputWhenDone(port);
    }
}

void MidiService::Leave(std::uint32_t client) {
    const std::lock_guard lock(mutex_);
    const std::string name = clients_[client].name;
    clients_.erase(client);
    for (std::uint8_t port = 0; port < inputs_.size(); ++port) {
        inputs_[port].opens.erase(client);
        inputs_[port].started.erase(client);
        StopInput(port);
    }
    for (std::uint8_t port = 0; port < outputs_.size(); ++port) {
        Output& output = outputs_[port];
        output.opens.erase(client);
        std::erase_if(output.waiting,
                      [client](const Message& message) { return message.client == client; });
        CloseOutputWhenDone(port);
    }
    driver_.Note("client " + name + " gone");
}

void CALLBACK MidiService::Notice(HMIDI, UINT message, DWORD_PTR instance, DWORD_PTR parameter1,
                                  DWORD_PTR) {
    const auto port = static_cast<std::uint8_t>(instance & 0xFF);
    auto* header = reinterpret_cast<MIDIHDR*>(parameter1);
    if (message == MIM_LONGDATA || message == MIM_LONGERROR)
        service->Received(port, *header);
    else if (message == MOM_DONE)
        service->Played(port, header);
}

void MidiService::Received(std::uint8_t port, MIDIHDR& header) {
    const std::lock_guard lock(mutex_);
    Input& input = inputs_[port];
    if (!input.open)
        return;
    // The bytes as the cable brought them: a damaged message (MIM_LONGERROR) lacks its end, and
    // what follows it on the cable ends it.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header.lpData);
    Frame frame{FrameKind::input, port, {bytes, bytes + header.dwBytesRecorded}};
    if (clockInReplies_ && frame.bytes.size() >= 2)
        frame.bytes.insert(frame.bytes.begin() + 1, midiClock);
    for (const auto& [client, started] : input.started) {
        if (started)
            clients_[client].link->Write(frame);
    }
    Driver(true, port, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(&header), sizeof header);
}

void MidiService::Played(std::uint8_t port, const MIDIHDR* header) {
    const std::lock_guard lock(mutex_);
    Output& output = outputs_[port];
    const auto played = std::ranges::find_if(
        output.taken, [header](const Message& message) { return message.header.get() == header; });
    if (played == output.taken.end())
        return;
    Driver(false, port, MODM_UNPREPARE, reinterpret_cast<DWORD_PTR>(played->header.get()),
           sizeof(MIDIHDR));
    output.taken.erase(played);
    HandOn(port);
    CloseOutputWhenDone(port);
}
