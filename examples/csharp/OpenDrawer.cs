// OpenDrawer.cs - the cash drawer library from C#: kick a drawer, confirm
// that it opened, and wait for the cashier to push it shut. P/Invoke with
// integers and caller-owned buffers only, so no custom marshalling is needed.
//   csc OpenDrawer.cs   (AnyCPU, x64 or x86)
// A process loads only DLLs of its own kind: ship the win64 DLL in a
// win64 folder beside the program and the win32 one in a win32 folder, and
// the program points the loader at the right one before its first call.
// The functions are __stdcall (StdCall), on x86 as on x64.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

static class CashDrawer
{
    const string Dll = "Cash_Drawer_DLL.dll";

    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern bool SetDllDirectory(string path);

    // win64\Cash_Drawer_DLL.dll for a 64-bit process, win32\ for a 32-bit one.
    static void ChooseTheDllOfThisProcessKind() =>
        SetDllDirectory(Path.Combine(AppContext.BaseDirectory, Environment.Is64BitProcess ? "win64" : "win32"));

    [DllImport(Dll, CharSet = CharSet.Ansi, CallingConvention = CallingConvention.StdCall)] public static extern int OpenCash(string drawerId);
    [DllImport(Dll, CharSet = CharSet.Ansi, CallingConvention = CallingConvention.StdCall)] public static extern int GetCashStatus(string drawerId);
    [DllImport(Dll, CharSet = CharSet.Ansi, CallingConvention = CallingConvention.StdCall)] public static extern int OpenCashConfirmed(string drawerId, int timeoutMs);
    [DllImport(Dll, CharSet = CharSet.Ansi, CallingConvention = CallingConvention.StdCall)] public static extern int WaitCashStatus(string drawerId, int state, int timeoutMs);
    [DllImport(Dll, CharSet = CharSet.Ansi, CallingConvention = CallingConvention.StdCall)] static extern int GetCashDrawerError(StringBuilder buffer, int size);

    public static string LastError()
    {
        var text = new StringBuilder(512);
        int length = GetCashDrawerError(text, text.Capacity);
        if (length >= text.Capacity) {
            text = new StringBuilder(length + 1);
            GetCashDrawerError(text, text.Capacity);
        }
        return text.ToString();
    }

    static int Main(string[] args)
    {
        ChooseTheDllOfThisProcessKind();
        string drawer = args.Length > 0 ? args[0] : "RN340_CashA";
        int before = GetCashStatus(drawer);
        if (before < 0) {
            Console.Error.WriteLine($"GetCashStatus({drawer}) = {before}: {LastError()}");
            return 1;
        }
        // Kicks, then watches the sensor for up to two seconds.
        int result = OpenCashConfirmed(drawer, 2000);
        if (result < 0) {
            Console.Error.WriteLine($"OpenCashConfirmed({drawer}) = {result}: {LastError()}");
            return 1;
        }
        Console.WriteLine(result == 1 ? "the drawer opened" : "kicked, but the sensor did not change");
        // Waits up to a minute for the cashier to push it shut: it reads as before the kick.
        result = WaitCashStatus(drawer, before, 60000);
        if (result < 0) {
            Console.Error.WriteLine($"WaitCashStatus({drawer}) = {result}: {LastError()}");
            return 1;
        }
        Console.WriteLine(result == 1 ? "the drawer is shut again" : "the drawer was left open");
        return 0;
    }
}
