// The desktop tests' hands in a GNOME Shell session: what a user sees and does, over the session
// bus (com.wellspire.TestShell). Only loaded by scripts/gnome-session.
const { Gio, GLib, Clutter, Meta, Shell } = imports.gi;
const Main = imports.ui.main;

const Interface = `<node><interface name="com.wellspire.TestShell">
  <method name="Windows"><arg type="s" direction="out"/></method>
  <method name="Activate"><arg type="t" direction="in"/><arg type="b" direction="out"/></method>
  <method name="Move"><arg type="t" direction="in"/><arg type="i" direction="in"/><arg type="i" direction="in"/><arg type="b" direction="out"/></method>
  <method name="Type"><arg type="s" direction="in"/><arg type="u" direction="in"/></method>
  <method name="Keys"><arg type="as" direction="in"/></method>
  <method name="Chord"><arg type="s" direction="in"/><arg type="s" direction="in"/></method>
  <method name="Click"><arg type="i" direction="in"/><arg type="i" direction="in"/></method>
  <method name="Screenshot"><arg type="s" direction="in"/><arg type="b" direction="out"/></method>
  <method name="StopSharing"><arg type="u" direction="out"/></method>
  <method name="Sharing"><arg type="u" direction="out"/></method>
  <method name="Notifications"><arg type="s" direction="out"/></method>
</interface></node>`;

const modifiers = { ctrl: 'Control_L', alt: 'Alt_L', shift: 'Shift_L', logo: 'Super_L' };

class Driver {
    constructor() {
        const seat = Clutter.get_default_backend().get_default_seat();
        this._keyboard = seat.create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
        this._pointer = seat.create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
        this._handles = [];
        const controller = global.backend.get_remote_access_controller();
        this._handleId = controller.connect('new-handle', (_, handle) => {
            this._handles.push(handle);
            handle.connect('stopped', () => { this._handles = this._handles.filter(h => h !== handle); });
        });
    }

    destroy() {
        global.backend.get_remote_access_controller().disconnect(this._handleId);
    }

    Windows() {
        const focus = global.display.get_focus_window();
        return JSON.stringify(global.get_window_actors().map(a => a.meta_window).map(w => {
            const r = w.get_frame_rect();
            return {
                id: w.get_id(), title: w.get_title() || '', pid: w.get_pid(), wmClass: w.get_wm_class() || '',
                appId: w.get_gtk_application_id() || '', wayland: w.get_client_type() === Meta.WindowClientType.WAYLAND,
                type: w.get_window_type(), x: r.x, y: r.y, width: r.width, height: r.height, focused: w === focus,
            };
        }));
    }

    Activate(id) {
        const w = global.get_window_actors().map(a => a.meta_window).find(w => w.get_id() === id);
        if (!w) return false;
        Main.activateWindow(w);
        return true;
    }

    Move(id, x, y) {
        const w = global.get_window_actors().map(a => a.meta_window).find(w => w.get_id() === id);
        if (!w) return false;
        if (w.get_maximized()) w.unmaximize(Meta.MaximizeFlags.BOTH);
        w.move_frame(true, x, y);
        return true;
    }

    _key(name, pressed) {
        const keyval = Clutter[`KEY_${name}`];
        if (keyval === undefined) throw new Error(`no key ${name}`);
        this._keyboard.notify_keyval(GLib.get_monotonic_time(), keyval,
            pressed ? Clutter.KeyState.PRESSED : Clutter.KeyState.RELEASED);
    }

    _keyval(keyval) {
        const t = GLib.get_monotonic_time();
        this._keyboard.notify_keyval(t, keyval, Clutter.KeyState.PRESSED);
        this._keyboard.notify_keyval(t + 1000, keyval, Clutter.KeyState.RELEASED);
    }

    // Keys one after another, `delay` ms apart; the call returns once the last is typed.
    _sequence(steps, delay, invocation) {
        let i = 0;
        const next = () => {
            try {
                if (i < steps.length) steps[i++]();
            } catch (e) {
                invocation.return_error_literal(Gio.DBusError, Gio.DBusError.INVALID_ARGS, `${e}`);
                return GLib.SOURCE_REMOVE;
            }
            if (i < steps.length) return GLib.SOURCE_CONTINUE;
            invocation.return_value(null);
            return GLib.SOURCE_REMOVE;
        };
        GLib.timeout_add(GLib.PRIORITY_DEFAULT, Math.max(delay, 1), next);
    }

    TypeAsync([text, delay], invocation) {
        const steps = [...text].map(c => () => this._keyval(Clutter.unicode_to_keysym(c.codePointAt(0))));
        this._sequence(steps, delay, invocation);
    }

    KeysAsync([names], invocation) {
        this._sequence(names.map(n => () => { this._key(n, true); this._key(n, false); }), 60, invocation);
    }

    ChordAsync([modifier, key], invocation) {
        const held = modifiers[modifier] || modifier;
        this._sequence([
            () => this._key(held, true),
            () => { this._key(key, true); this._key(key, false); },
            () => this._key(held, false),
        ], 40, invocation);
    }

    ClickAsync([x, y], invocation) {
        const left = 0x110;  // BTN_LEFT
        this._sequence([
            () => this._pointer.notify_absolute_motion(GLib.get_monotonic_time(), x, y),
            () => this._pointer.notify_button(GLib.get_monotonic_time(), left, Clutter.ButtonState.PRESSED),
            () => this._pointer.notify_button(GLib.get_monotonic_time(), left, Clutter.ButtonState.RELEASED),
        ], 50, invocation);
    }

    ScreenshotAsync([path], invocation) {
        const file = Gio.File.new_for_path(path);
        const stream = file.replace(null, false, Gio.FileCreateFlags.NONE, null);
        new Shell.Screenshot().screenshot(false, stream, (shooter, result) => {
            let ok = false;
            try {
                shooter.screenshot_finish(result);
                ok = true;
            } catch (e) {
                log(`wellspire-test: screenshot failed: ${e}`);
            }
            stream.close(null);
            invocation.return_value(new GLib.Variant('(b)', [ok]));
        });
    }

    // What the sharing indicator's Stop does: ends every screen cast.
    StopSharing() {
        const live = this._handles.slice();
        live.forEach(h => h.stop());
        return live.length;
    }

    Sharing() {
        return this._handles.length;
    }

    // Every notification the shell holds, banners shown or not.
    Notifications() {
        const all = [];
        for (const source of Main.messageTray.getSources())
            for (const n of source.notifications)
                all.push({ source: source.title || '', title: n.title || '', body: n.bannerBodyText || '' });
        return JSON.stringify(all);
    }
}

class Extension {
    enable() {
        this._driver = new Driver();
        this._exported = Gio.DBusExportedObject.wrapJSObject(Interface, this._driver);
        this._exported.export(Gio.DBus.session, '/com/wellspire/TestShell');
        this._name = Gio.bus_own_name_on_connection(Gio.DBus.session, 'com.wellspire.TestShell',
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        Gio.bus_unown_name(this._name);
        this._exported.unexport();
        this._driver.destroy();
    }
}

function init() {
    return new Extension();
}
