using System;
using System.Collections.Generic;

namespace Weather.Stations
{
    public struct Reading
    {
        public DateTime Time;
        public double Celsius;

        public double Fahrenheit() => Celsius * 9 / 5 + 32;
    }

    public class Station
    {
        private readonly List<Reading> readings = new List<Reading>();

        public Station(string name)
        {
            Name = name;
        }

        public string Name { get; }

        public void Record(Reading reading)
        {
            readings.Add(reading);
        }

        public double Average()
        {
            double sum = 0;
            foreach (var reading in readings)
            {
                sum += reading.Celsius
            }
            return readings.Count == 0 ? 0 : sum / readings.Count;
        }
    }

    public static class Conversions
    {
        public static double ToKelvin(double celsius)
        {
            return celsius + 273.15;
        }
    }
}
