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

// The window's end, as Plasma 6 and 5 name it.
const closing = window => window && (window.closed || window.windowClosed);

function gone() {
    follow(null, true);
}

// KWin reports no active window between two, and the shell's own surfaces (its
// panel, desktop and notifications) take the activation when clicked, the tray
// icon too: neither changes the application in front. Only its closing does.
function follow(window, closed) {
    if (!closed && (!window || window.specialWindow)) return;
    if (followed && followed.windowClassChanged) followed.windowClassChanged.disconnect(report);
    if (closing(followed)) closing(followed).disconnect(gone);
    followed = window || null;
    if (followed && followed.windowClassChanged) followed.windowClassChanged.connect(report);
    if (closing(followed)) closing(followed).connect(gone);
    report();
}

activated.connect(window => follow(window, false));
follow(workspace.activeWindow !== undefined ? workspace.activeWindow : workspace.activeClient);
