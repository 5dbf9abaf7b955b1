// Tells Sendhold which application is in front under KDE Plasma, where only
// KWin knows it: the class of the active window, at start, on each activation
// and when the active window changes its class. Sendhold loads this script
// through KWin's scripting interface. Plasma 5 and 6 name things differently.
const activated = workspace.windowActivated || workspace.clientActivated;
let followed = null;

// Plasma 5 gave the class as bytes on some versions.
function className(window) {
    const raw = window ? window.resourceClass : "";
    if (raw instanceof ArrayBuffer) return String.fromCharCode.apply(null, new Uint8Array(raw));
    return raw ? String(raw) : "";
}

function report() {
    callDBus("io.github.sendhold.Sendhold", "/io/github/sendhold/Sendhold/Front",
             "io.github.sendhold.FrontApplication", "Report", className(followed));
}

function follow(window) {
    // The shell's own surfaces (its panel, desktop, pop-ups and notifications) take
    // the activation when clicked, the tray icon too: the application stays in front.
    if (window && window.specialWindow) return;
    if (followed && followed.windowClassChanged) followed.windowClassChanged.disconnect(report);
    followed = window || null;
    if (followed && followed.windowClassChanged) followed.windowClassChanged.connect(report);
    report();
}

activated.connect(follow);
follow(workspace.activeWindow !== undefined ? workspace.activeWindow : workspace.activeClient);
