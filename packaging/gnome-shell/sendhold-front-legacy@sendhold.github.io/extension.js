// Tells Sendhold which application is in front: the focused window's class,
// whenever the focus or that class changes and whenever Sendhold appears on
// the session bus. GNOME 43 and 44 load extensions in this older form; the
// same code for GNOME 45 and later is sendhold-front@sendhold.github.io.
const {Gio, GLib} = imports.gi;

const NAME = 'io.github.sendhold.Sendhold';

class SendholdFront {
    enable() {
        this._window = null;
        this._present = false;
        this._focusId = global.display.connect('notify::focus-window', () => this._follow());
        this._watchId = Gio.bus_watch_name(Gio.BusType.SESSION, NAME, Gio.BusNameWatcherFlags.NONE,
            () => { this._present = true; this._report(); }, () => { this._present = false; });
        this._follow();
    }

    disable() {
        global.display.disconnect(this._focusId);
        Gio.bus_unwatch_name(this._watchId);
        this._window?.disconnect(this._classId);
        this._window = null;
    }

    _follow() {
        this._window?.disconnect(this._classId);
        this._window = global.display.focus_window;
        this._classId = this._window?.connect('notify::wm-class', () => this._report());
        this._report();
    }

    // Sendhold may be gone by the time the call arrives: errors are of no interest.
    _report() {
        if (!this._present) return;
        const id = this._window?.get_wm_class() ?? '';
        Gio.DBus.session.call(NAME, '/io/github/sendhold/Sendhold/Front',
            'io.github.sendhold.FrontApplication', 'Report', new GLib.Variant('(s)', [id]), null,
            Gio.DBusCallFlags.NO_AUTO_START, -1, null, (bus, result) => {
                try { bus.call_finish(result); } catch (e) {}
            });
    }
}

function init() {
    return new SendholdFront();
}
