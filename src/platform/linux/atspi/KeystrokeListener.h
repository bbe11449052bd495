#pragma once
// Key presses heard from the accessibility registry. The registry waits for every keystroke
// listener's answer before it answers the toolkit, and GTK 3 and Qt hold each key until then
// (whatever mode the listener registered with). So the listener has a D-Bus connection of its own,
// and each key is answered on that connection's own thread as it comes in, whatever the AT-SPI
// thread is waiting for.
#include <functional>
#include <memory>

namespace linuxplatform {

class GMainThread;

class KeystrokeListener {
public:
    // Called on the connection's thread for every key press, after the registry has its answer;
    // `name` is lent for the call. It must be quick.
    using Handler = std::function<void(unsigned keysym, const char* name)>;

    // Connects to the accessibility bus and registers in the background.
    explicit KeystrokeListener(Handler handler);
    // Closes the connection, and with it every registration: the registry forgets the listeners of
    // a connection that is gone. Returns once the connection is closed.
    ~KeystrokeListener();
    KeystrokeListener(const KeystrokeListener&) = delete;
    KeystrokeListener& operator=(const KeystrokeListener&) = delete;

    struct State;

private:
    std::shared_ptr<State> state_;
    std::unique_ptr<GMainThread> thread_;
};

}  // namespace linuxplatform
