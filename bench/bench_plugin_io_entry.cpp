// The driver-interface entries of one IO cycle as the audio server's IO thread calls them
// (GetZeroTimeStamp, WillDoIOOperation, DoIOOperation for 'read' and 'rite') on a device that does
// nothing, with four devices of 99 ids each and the plug-in object mapped. The peer does what the
// entries must at least do: per entry an RCU hash-table lookup of the id with a reference taken and
// dropped (liburcu). Pairs:
//   plugin_io_entry             the mean cost of a cycle, uncontended;
//   plugin_io_entry_churn_p999  the 99.9th percentile of a cycle's cost while another thread maps
//                               and unmaps ids all the time, destroying an object each round: a
//                               cycle that waited for the map's writer or for a destruction
//                               would show here;
//   plugin_io_entry_budget      that percentile against 1% of the shortest IO period served
//                               (32 frames at 192 kHz), which the peer side stands for.

#include "KorvanService.h"
#include "Log.h"
#include "SA_Device.h"
#include "SA_ObjectMap.h"
#include "SA_PlugInInterface.h"
#include "TestDevice.h"

#include <benchmark/benchmark.h>
#include <urcu.h>
#include <urcu/rculfhash.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr int kDevices = 4;
constexpr int kIDsPerDevice = 99;
constexpr AudioObjectID kFirstDeviceID = 1000;
constexpr AudioObjectID kChurnID = 5000;
constexpr size_t kBatch = 10000;
constexpr size_t kPercentileIndex = kBatch * 999 / 1000;
constexpr double kBudgetSeconds = 0.01 * 32.0 / 192000.0;

// The test device without its recording: the entries measured do nothing.
class QuietDevice : public PlugInTesting::TestDevice
{
public:
    explicit QuietDevice(AudioObjectID objectID) : TestDevice(objectID, KorvanService()) {}

    const KorvanService& GetService() const override { return fService; }
    OSStatus StartIO(UInt32) override { return 0; }
    OSStatus StopIO(UInt32) override { return 0; }
    void GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed) override
    {
        sampleTime = 0;
        hostTime = 0;
        seed = 1;
    }
    void DoIOOperation(AudioObjectID, UInt32, UInt32, const AudioServerPlugInIOCycleInfo&, void*) override {}
    void PerformConfigChange(UInt64, void*) override {}
    void AbortConfigChange(UInt64, void*) override {}
};

AudioServerPlugInDriverRef Driver()
{
    static AudioServerPlugInDriverRef driver = [] {
        Log::SetLevel(Log::None);
        auto ref = static_cast<AudioServerPlugInDriverRef>(
            VORKtideAudioServerPlugin_Create(nullptr, kAudioServerPlugInTypeUUID));
        for (int device = 0; device < kDevices; ++device) {
            const AudioObjectID first = kFirstDeviceID + AudioObjectID(device * kIDsPerDevice);
            auto* object = new QuietDevice(first);
            for (int id = 0; id < kIDsPerDevice; ++id) {
                SA_ObjectMap::MapObject(first + AudioObjectID(id), object);
            }
        }
        return ref;
    }();
    return driver;
}

// The map's writers (the plug-in's work loop, device threads) run at ordinary priority, below the
// IO thread's, so a writer can be held up while cycles run.
void LowerThisThreadsPriority()
{
    const sched_param ordinary = {};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}

void OursCycle()
{
    static AudioServerPlugInDriverRef driver = Driver();
    static AudioServerPlugInDriverInterface& table = **driver;
    static AudioServerPlugInIOCycleInfo cycle = {};
    static float buffer[64];
    Float64 sampleTime;
    UInt64 hostTime;
    UInt64 seed;
    Boolean willDo;
    Boolean inPlace;
    const AudioObjectID device = kFirstDeviceID + kIDsPerDevice * 2;
    table.GetZeroTimeStamp(driver, device, 1, &sampleTime, &hostTime, &seed);
    table.WillDoIOOperation(driver, device, 1, kAudioServerPlugInIOOperationReadInput, &willDo, &inPlace);
    table.DoIOOperation(driver, device, device + 1, 1, kAudioServerPlugInIOOperationReadInput, 32, &cycle,
                        buffer, nullptr);
    table.DoIOOperation(driver, device, device + 2, 1, kAudioServerPlugInIOOperationWriteMix, 32, &cycle,
                        buffer, nullptr);
    benchmark::DoNotOptimize(buffer);
}

// The map's churn: an object mapped, looked up and unmapped over and over.
class OursChurn
{
public:
    OursChurn()
        : fThread([this] {
              LowerThisThreadsPriority();
              class Churned : public SA_Object
              {
              public:
                  Churned() : SA_Object(kChurnID, kAudioObjectClassID, kAudioObjectClassID, 1) {}
              };
              while (!fDone) {
                  auto* object = new Churned;
                  SA_ObjectMap::MapObject(kChurnID, object);
                  SA_ObjectMap::MapObject(kChurnID + 1, object);
                  SA_ObjectMap::UnmapObject(kChurnID, object);
                  SA_ObjectMap::UnmapObject(kChurnID + 1, object);
              }
          })
    {}
    ~OursChurn()
    {
        fDone = true;
        fThread.join();
    }

private:
    std::atomic<bool> fDone{false};
    std::thread fThread;
};

struct PeerNode
{
    cds_lfht_node fNode;
    AudioObjectID fID;
    std::atomic<uint32_t> fRefCount{1};
    rcu_head fHead;
};

int MatchID(cds_lfht_node* node, const void* key)
{
    return caa_container_of(node, PeerNode, fNode)->fID == *static_cast<const AudioObjectID*>(key);
}

unsigned long HashID(AudioObjectID id)
{
    return id * 2654435761u;
}

cds_lfht* PeerTable()
{
    static cds_lfht* table = [] {
        cds_lfht* created = cds_lfht_new(512, 512, 0, CDS_LFHT_AUTO_RESIZE, nullptr);
        for (AudioObjectID id = 1; id <= 1; ++id) {
            auto* node = new PeerNode;
            node->fID = id;
            cds_lfht_add(created, HashID(id), &node->fNode);
        }
        for (int index = 0; index < kDevices * kIDsPerDevice; ++index) {
            auto* node = new PeerNode;
            node->fID = kFirstDeviceID + AudioObjectID(index);
            cds_lfht_add(created, HashID(node->fID), &node->fNode);
        }
        return created;
    }();
    return table;
}

void PeerEntry(cds_lfht* table, AudioObjectID id)
{
    rcu_read_lock();
    cds_lfht_iter iter;
    cds_lfht_lookup(table, HashID(id), MatchID, &id, &iter);
    if (cds_lfht_node* node = cds_lfht_iter_get_node(&iter)) {
        PeerNode* entry = caa_container_of(node, PeerNode, fNode);
        entry->fRefCount.fetch_add(1, std::memory_order_acquire);
        benchmark::DoNotOptimize(entry);
        entry->fRefCount.fetch_sub(1, std::memory_order_release);
    }
    rcu_read_unlock();
}

void PeerCycle()
{
    static cds_lfht* table = PeerTable();
    const AudioObjectID device = kFirstDeviceID + kIDsPerDevice * 2;
    for (int entry = 0; entry < 4; ++entry) {
        PeerEntry(table, device);
    }
}

class PeerChurn
{
public:
    PeerChurn()
        : fThread([this] {
              LowerThisThreadsPriority();
              rcu_register_thread();
              cds_lfht* table = PeerTable();
              while (!fDone) {
                  auto* node = new PeerNode;
                  node->fID = kChurnID;
                  rcu_read_lock();
                  cds_lfht_add(table, HashID(kChurnID), &node->fNode);
                  cds_lfht_del(table, &node->fNode);
                  rcu_read_unlock();
                  call_rcu(&node->fHead,
                           [](rcu_head* head) { delete caa_container_of(head, PeerNode, fHead); });
              }
              rcu_unregister_thread();
          })
    {}
    ~PeerChurn()
    {
        fDone = true;
        fThread.join();
        rcu_barrier();
    }

private:
    std::atomic<bool> fDone{false};
    std::thread fThread;
};

void RegisterPeerThread()
{
    thread_local bool registered = (rcu_register_thread(), true);
    benchmark::DoNotOptimize(registered);
}

template <void (*Cycle)()>
void Mean(benchmark::State& state)
{
    RegisterPeerThread();
    for (auto _ : state) {
        Cycle();
    }
}

// The cycle's 99.9th percentile of each batch, with `Churn` running meanwhile.
template <void (*Cycle)(), typename Churn>
void Percentile999(benchmark::State& state)
{
    RegisterPeerThread();
    Cycle();
    Churn churn;
    std::vector<std::chrono::nanoseconds> costs(kBatch);
    for (auto _ : state) {
        for (auto& cost : costs) {
            const auto start = std::chrono::steady_clock::now();
            Cycle();
            cost = std::chrono::steady_clock::now() - start;
        }
        std::nth_element(costs.begin(), costs.begin() + kPercentileIndex, costs.end());
        state.SetIterationTime(std::chrono::duration<double>(costs[kPercentileIndex]).count());
    }
}

void Budget(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(kBudgetSeconds);
    }
}

} // namespace

BENCHMARK(Mean<OursCycle>)->Name("plugin_io_entry/ours");
BENCHMARK(Mean<PeerCycle>)->Name("plugin_io_entry/peer");
// A percentile's iteration stands for a whole batch: a fixed count keeps the run short.
BENCHMARK(Percentile999<OursCycle, OursChurn>)
    ->Name("plugin_io_entry_churn_p999/ours")
    ->UseManualTime()
    ->Iterations(100);
BENCHMARK(Percentile999<PeerCycle, PeerChurn>)
    ->Name("plugin_io_entry_churn_p999/peer")
    ->UseManualTime()
    ->Iterations(100);
BENCHMARK(Percentile999<OursCycle, OursChurn>)
    ->Name("plugin_io_entry_budget/ours")
    ->UseManualTime()
    ->Iterations(100);
BENCHMARK(Budget)->Name("plugin_io_entry_budget/peer")->UseManualTime()->Iterations(100);

BENCHMARK_MAIN();
